// Text at the boundary between the core (narrow ANSI code page texts) and
// Qt (UTF-16). Thread-safe.
#pragma once

#include <string>

#include <QString>

namespace tillcast::ui {

// ANSI (GBK) bytes -> QString; invalid bytes become U+FFFD rather than
// failing the whole text.
QString FromAnsi(const std::string& ansi);

// QString -> ANSI bytes; characters the code page lacks become "?".
std::string ToAnsi(const QString& text);

// Logs `text` (UI literal, UTF-8 source) as one ANSI line at `level`.
void LogText(int level, const QString& text);

}  // namespace tillcast::ui
