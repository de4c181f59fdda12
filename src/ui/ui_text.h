// Text at the boundary between the core (narrow ANSI code page texts) and
// Qt (UTF-16). Thread-safe.
#pragma once

#include <cstddef>
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

// The main window's status line: whether the capture driver is connected
// (`watching` false: this agent captures no port) and how many receipts
// wait for the cloud.
QString CaptureStatusText(bool watching, bool connected, size_t waiting);

}  // namespace tillcast::ui
