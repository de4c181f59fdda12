#include <errno.h>
#include <unistd.h>

#include "platform/autostart.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/paths.h"

namespace tillcast::platform {
namespace {

std::string ToUtf8(const std::wstring& w) {
  std::string out;
  int err = 0;
  if (!WideToNarrow("UTF-8", w, &out, &err)) return {};
  return out;
}

// Windows-style command line -> Exec= value: the quoting of the command is
// already the desktop-entry quoting for the simple cases the agent writes;
// backslashes and dollars must be escaped.
std::string ExecValue(const std::string& cmd) {
  std::string out;
  for (char c : cmd) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '$')
      out += "$$";
    else if (c == '%')
      out += "%%";
    else if (c == '\n' || c == '\r')
      out += ' ';
    else
      out += c;
  }
  return out;
}

}  // namespace

XdgAutostartStore::XdgAutostartStore(std::string folder)
    : folder_(folder.empty() ? AutostartFolder() : std::move(folder)) {}

std::string XdgAutostartStore::EntryPath(const std::wstring& name) const {
  return folder_ + "/" + ToUtf8(name) + ".desktop";
}

bool XdgAutostartStore::SetRunValue(const std::wstring& name, const std::wstring& command) {
  if (!IsDirectory(folder_) || access(folder_.c_str(), W_OK) != 0) return false;
  const std::string n = ToUtf8(name);
  if (n.empty() || n.find('/') != std::string::npos) return false;
  std::string text = "[Desktop Entry]\nType=Application\nName=" + n + "\nExec=" + ExecValue(ToUtf8(command)) +
                     "\nX-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  int err = 0;
  return ReplaceFileAtomically(EntryPath(name), text, &err);
}

bool XdgAutostartStore::DeleteRunValue(const std::wstring& name) {
  if (!IsDirectory(folder_) || access(folder_.c_str(), W_OK) != 0) return false;
  const std::string n = ToUtf8(name);
  if (n.empty() || n.find('/') != std::string::npos) return true;
  unlink(EntryPath(name).c_str());
  return true;
}

}  // namespace tillcast::platform
