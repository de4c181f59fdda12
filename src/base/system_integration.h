// The agent's entries outside its own files: the machine-wide autostart
// entry and the per-user value "Software\\Zellora" / "devicekey" through
// which another program can hand the agent a device key.
#pragma once

#include <string>

#include "platform/autostart.h"
#include "platform/user_values.h"

namespace tillcast {

inline constexpr const char* kDeviceKeyRegistryKey = "Software\\Zellora";
inline constexpr const char* kDeviceKeyValueName = "devicekey";

bool SetRunValue(const std::wstring& name, const std::wstring& command);
bool DeleteRunValue(const std::wstring& name);
bool ReadDeviceKey(std::string& key);
bool WriteDeviceKey(const std::string& key);

// Replace the stores (null = the real ones). Not owned; for tests.
void SetAutostartStoreForTest(platform::AutostartStore* store);
void SetUserValueStoreForTest(platform::UserValueStore* store);

}  // namespace tillcast
