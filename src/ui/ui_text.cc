#include "ui/ui_text.h"

#include "base/log.h"
#include "base/text_util.h"

namespace tillcast::ui {

QString FromAnsi(const std::string& ansi) {
  if (ansi.empty()) return QString();
  return QString::fromStdWString(ToWideLossy(ansi));
}

std::string ToAnsi(const QString& text) { return ToNarrowLossy(text.toStdWString()); }

void LogText(int level, const QString& text) { Log(level, "%s", ToAnsi(text).c_str()); }

QString CaptureStatusText(bool watching, bool connected, size_t waiting) {
  QString text = !watching || connected ? QStringLiteral(u"● 已连接 · 正在守护收银小票")
                                        : QStringLiteral(u"● 打印捕获未连接，正在重连");
  if (waiting > 0) text += QStringLiteral(u" · %1 张小票等待上传").arg(waiting);
  return text;
}

}  // namespace tillcast::ui
