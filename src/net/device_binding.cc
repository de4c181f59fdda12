#include "net/device_binding.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/system_integration.h"
#include "data/data_mgr.h"

namespace tillcast {
namespace {

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace

const char* DeviceBinding::LoginFailedText() { return "登录失败"; }
const char* DeviceBinding::ChangeFailedText() { return "更新款台失败"; }

DeviceBinding::DeviceBinding(CloudApi* cloud, Settings settings) : cloud_(cloud), settings_(settings) {}

KeyStep DeviceBinding::ApplyDeviceKey(const std::string& key) {
  if (key.empty()) return KeyStep::kAutoConnect;
  return SetDeviceKey(key);
}

KeyStep DeviceBinding::SetDeviceKey(const std::string& key) {
  DataMgr& data = DataMgr::GetInstance();
  if (data.GetConfig("secret") == key) return KeyStep::kNothing;
  data.SetConfig("secret", key);
  return KeyStep::kBind;
}

bool DeviceBinding::Login(const std::string& key) {
  if (key.empty()) return false;
  DataMgr::GetInstance().SetConfig("secret", key);
  WriteDeviceKey(key);
  return true;
}

bool DeviceBinding::FetchStoreLogo() {
  const std::string logo = StoreLogoFilePath();
  if (!FileExists(logo)) cloud_->GetStoreLogo();
  return FileExists(logo);
}

BindingResult DeviceBinding::Connected() {
  DataMgr::GetInstance().SaveConfig();
  BindingResult r;
  r.connected = true;
  r.logo_checked = true;
  r.have_logo = FetchStoreLogo();
  return r;
}

BindingResult DeviceBinding::Failed(const char* text) {
  BindingResult r;
  r.failure = text;
  r.last_message = DataMgr::GetInstance().GetLastMessage();
  return r;
}

BindingResult DeviceBinding::Bind() {
  if (cloud_->GetConnectionInfo() && cloud_->CreateConnection()) return Connected();
  return Failed(LoginFailedText());
}

BindingResult DeviceBinding::AutoConnect() {
  Log(LOG_INFO, "开启自动连接线程");
  BindingResult r;
  while (!quit_.load()) {
    if (cloud_->CreateConnection()) {
      r = Connected();
      break;
    }
    WaitOrQuit(settings_.auto_connect_retry_ms);
  }
  Log(LOG_INFO, "退出自动连接线程");
  return r;
}

BindingResult DeviceBinding::ChangeAccount(const std::string& key, bool has_key) {
  const std::string logo = StoreLogoFilePath();
  errno = 0;
  const int err = std::remove(logo.c_str()) == 0 ? 0 : errno;
  Log(LOG_INFO, "change account delete store logo, file path: %s, GetLastError: %d\n", logo.c_str(), err);
  if (has_key) {
    DataMgr::GetInstance().SetConfig("secret", key);
    WriteDeviceKey(key);
  }
  if (!cloud_->GetConnectionInfo()) return Failed(ChangeFailedText());
  // Saved and the logo looked for whether the connection opened or not.
  const bool connected = cloud_->CreateConnection();
  BindingResult r = Connected();
  r.connected = connected;
  return r;
}

void DeviceBinding::RequestQuit() {
  quit_.store(true);
  { std::lock_guard<std::mutex> l(wait_lock_); }
  wait_signal_.notify_all();
}

void DeviceBinding::WaitOrQuit(uint32_t ms) {
  std::unique_lock<std::mutex> l(wait_lock_);
  wait_signal_.wait_for(l, std::chrono::milliseconds(ms), [this] { return quit_.load(); });
}

}  // namespace tillcast
