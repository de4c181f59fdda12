#include "base/system_integration.h"

#include <atomic>

namespace tillcast {
namespace {

std::atomic<platform::AutostartStore*> g_autostart{nullptr};
std::atomic<platform::UserValueStore*> g_userValues{nullptr};

platform::AutostartStore& Autostart() {
  if (platform::AutostartStore* s = g_autostart.load()) return *s;
  static platform::XdgAutostartStore real("");
  return real;
}

platform::UserValueStore& UserValues() {
  if (platform::UserValueStore* s = g_userValues.load()) return *s;
  static platform::PosixUserValueStore real("");
  return real;
}

}  // namespace

bool SetRunValue(const std::wstring& name, const std::wstring& command) {
  return Autostart().SetRunValue(name, command);
}

bool DeleteRunValue(const std::wstring& name) { return Autostart().DeleteRunValue(name); }

bool ReadDeviceKey(std::string& key) {
  std::string value;
  if (!UserValues().Read(kDeviceKeyRegistryKey, kDeviceKeyValueName, &value)) return false;
  key = std::string(value.c_str());  // up to the first zero, as a text value reads
  return true;
}

bool WriteDeviceKey(const std::string& key) {
  return UserValues().Write(kDeviceKeyRegistryKey, kDeviceKeyValueName, key);
}

void SetAutostartStoreForTest(platform::AutostartStore* store) { g_autostart.store(store); }

void SetUserValueStoreForTest(platform::UserValueStore* store) { g_userValues.store(store); }

}  // namespace tillcast
