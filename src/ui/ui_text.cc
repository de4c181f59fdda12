#include "ui/ui_text.h"

#include <exception>

#include "app/log.h"
#include "app/text_util.h"

namespace tillcast::ui {

QString FromAnsi(const std::string& ansi) {
  if (ansi.empty()) return QString();
  try {
    return QString::fromStdWString(ToWide(ansi));
  } catch (const std::exception&) {
  }
  // Mixed or broken bytes: convert what can be, one character at a time.
  QString out;
  size_t i = 0;
  while (i < ansi.size()) {
    const unsigned char c = static_cast<unsigned char>(ansi[i]);
    const size_t len = (c >= 0x81 && c <= 0xFE && i + 1 < ansi.size()) ? 2 : 1;
    try {
      out += QString::fromStdWString(ToWide(ansi.substr(i, len)));
    } catch (const std::exception&) {
      out += QChar(0xFFFD);
    }
    i += len;
  }
  return out;
}

std::string ToAnsi(const QString& text) { return ToNarrowLossy(text.toStdWString()); }

void LogText(int level, const QString& text) { Log(level, "%s", ToAnsi(text).c_str()); }

}  // namespace tillcast::ui
