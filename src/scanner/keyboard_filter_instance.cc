// The process-wide filter, on the evdev keyboard backend (or, with
// $TILLCAST_KEY_FEED naming a pipe, on keys written to that pipe).
#include "base/log.h"
#include "platform/env.h"
#include "platform/input_evdev.h"
#include "platform/input_feed.h"
#include "scanner/keyboard_filter.h"

namespace tillcast {
namespace {

void BackendLog(int level, const std::string& line) { Log(level, "%s", line.c_str()); }

platform::EvdevHookOptions BackendOptions() {
  platform::EvdevHookOptions options = platform::EvdevHookOptionsFromEnv();
  options.log = BackendLog;
  return options;
}

struct Backend {
  platform::KeyboardHook* hook;
  platform::KeySynthesizer* synthesizer;
};

Backend TheBackend() {
  const std::string feed = platform::EnvOr("TILLCAST_KEY_FEED", "");
  if (!feed.empty()) {
    static platform::FeedKeyboardHook fed(feed, "", BackendLog);
    return {&fed, &fed};
  }
  static platform::EvdevKeyboardHook evdev(BackendOptions());
  return {&evdev, &evdev};
}

}  // namespace

KeyboardFilter* KeyboardFilter::Instance() {
  // Destroyed in reverse order at exit: the filter (which removes the hook)
  // before the backend.
  static const Backend backend = TheBackend();
  static KeyboardFilter filter(platform::SystemClock(), backend.hook, backend.synthesizer);
  return &filter;
}

bool InstallKeyboardHook() {
  const bool ok = KeyboardFilter::Instance()->Install();
  if (!ok) Log(LOG_WARNING, "keyboard hook not installed; scanner codes are not recognised");
  return ok;
}

void UninstallKeyboardHook() { KeyboardFilter::Instance()->Uninstall(); }

}  // namespace tillcast
