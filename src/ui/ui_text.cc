#include "ui/ui_text.h"

#include "app/log.h"
#include "app/text_util.h"

namespace tillcast::ui {

QString FromAnsi(const std::string& ansi) {
  if (ansi.empty()) return QString();
  return QString::fromStdWString(ToWideLossy(ansi));
}

std::string ToAnsi(const QString& text) { return ToNarrowLossy(text.toStdWString()); }

void LogText(int level, const QString& text) { Log(level, "%s", ToAnsi(text).c_str()); }

}  // namespace tillcast::ui
