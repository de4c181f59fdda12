// The process-wide filter, on the evdev keyboard backend.
#include "app/log.h"
#include "platform/input_evdev.h"
#include "scanner/keyboard_filter.h"

namespace tillcast {
namespace {

platform::EvdevHookOptions BackendOptions() {
  platform::EvdevHookOptions options = platform::EvdevHookOptionsFromEnv();
  options.log = [](int level, const std::string& line) { Log(level, "%s", line.c_str()); };
  return options;
}

}  // namespace

KeyboardFilter* KeyboardFilter::Instance() {
  // Destroyed in reverse order at exit: the filter (which removes the hook)
  // before the backend.
  static platform::EvdevKeyboardHook backend(BackendOptions());
  static KeyboardFilter filter(platform::SystemClock(), &backend, &backend);
  return &filter;
}

bool InstallKeyboardHook() {
  const bool ok = KeyboardFilter::Instance()->Install();
  if (!ok) Log(LOG_WARNING, "keyboard hook not installed; scanner codes are not recognised");
  return ok;
}

void UninstallKeyboardHook() { KeyboardFilter::Instance()->Uninstall(); }

}  // namespace tillcast
