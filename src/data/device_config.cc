// The device configuration: defaults, cloudconfig.dat and the autostart entry.
#include <json/json.h>

#include <cwchar>
#include <exception>
#include <filesystem>
#include <iterator>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/system_integration.h"
#include "app/text_util.h"
#include "data/data_mgr.h"
#include "data/json_util.h"
#include "platform/paths.h"

namespace tillcast {
namespace {

using data_internal::FindMember;
using data_internal::ParseJson;

constexpr wchar_t kAutostartName[] = L"tillcast";
// Longest autostart command, terminator included; a longer one is not
// registered at all rather than registered cut short.
constexpr size_t kMaxAutostartCommand = 262;

// Keys taken from the file, in the order they are read. Version and
// DeviceFormat are deliberately absent so the built-in values always win;
// secret is absent so a typed binding code does not outlive the process.
constexpr const char* kLoadedKeys[] = {"ClosePrint", "AutoStartUp", "PortType", "PortName",    "Parity",
                                       "Baudrate",   "StopBits",    "DataBits", "FlowControl", "PageMode",
                                       "PageWidth",  "URL",         "LogoURL",  "DeviceID"};

// The launcher beside the program folder: <module folder>/../AppLauncher,
// quoted, with the target argument. False when it cannot be built.
bool BuildAutostartCommand(std::wstring* command) {
  std::string parent = (std::filesystem::path(GetModuleFolder()) / "..").lexically_normal().string();
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::string launcher = (parent == "/" ? std::string() : parent) + "/AppLauncher";
  std::wstring wide;
  try {
    wide = ToWide(launcher);
  } catch (const std::exception&) {
    return false;  // a folder name the code page cannot hold
  }
  wchar_t buf[kMaxAutostartCommand];
  const int n = std::swprintf(buf, std::size(buf), L"\"%ls\" /target=\"tillcast\"", wide.c_str());
  if (n < 0) return false;
  command->assign(buf, static_cast<size_t>(n));
  return true;
}

// The compact form of the old FastWriter: no blanks, members sorted by key,
// UTF-8 kept as is, one trailing line feed.
std::string WriteCompact(const Json::Value& root) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["commentStyle"] = "None";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, root) + "\n";
}

// The file used to be written in text mode: every "\n" becomes "\r\n".
std::string ToTextMode(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

void DataMgr::Init() {
  {
    // Start-up calls this before any other thread exists; the lock keeps
    // repeated calls (tests) race-free as well.
    std::lock_guard<std::mutex> l(configLock);
    DeviceConfig["AutoStartUp"] = "true";
    DeviceConfig["ClosePrint"] = "false";
    DeviceConfig["PortType"] = "串口";
    DeviceConfig["PortName"] = "COM1";
    DeviceConfig["Parity"] = "无";
    DeviceConfig["Baudrate"] = "9600";
    DeviceConfig["StopBits"] = "1";
    DeviceConfig["DataBits"] = "8";
    DeviceConfig["FlowControl"] = "无";
    DeviceConfig["PageMode"] = "页";
    DeviceConfig["PageWidth"] = "58";
    DeviceConfig["LogoURL"] = "";
    DeviceConfig["URL"] = kDefaultServerUrl;
    DeviceConfig["Version"] = kAppVersion;
    DeviceConfig["DeviceFormat"] = "escpos";
  }
  LoadConfig();
  SdkBinder binder;
  {
    std::lock_guard<std::mutex> l(hookLock);
    binder = sdkBinder;
  }
  if (binder) binder();
}

bool DataMgr::LoadConfig() {
  const std::string path = ConfigPath();
  if (!platform::PathExists(path)) return false;  // first start: the defaults stay

  std::string text;
  int err = 0;
  if (!platform::ReadWholeFile(path, &text, &err)) {
    Log(LOG_ERROR, "打开配置文件chu，GetLastError:%d", err);
    return false;
  }
  Json::Value root;
  if (!ParseJson(text, &root)) {
    Log(LOG_ERROR, "解析配置文件失败");
    return false;
  }

  std::vector<std::pair<std::string, std::string>> loaded;
  for (const char* key : kLoadedKeys) {
    const Json::Value* v = FindMember(root, key);
    // Members of another type are skipped: a hand-edited number must not
    // wipe the setting.
    if (v != nullptr && v->isString()) loaded.emplace_back(key, Utf8ToAnsi(v->asString()));
  }
  {
    std::lock_guard<std::mutex> l(configLock);
    for (auto& [key, value] : loaded) DeviceConfig[key] = std::move(value);
    if (DeviceConfig["URL"].empty()) DeviceConfig["URL"] = kDefaultServerUrl;
  }
  Log(LOG_INFO, "配置文件加载完成.");
  return true;
}

bool DataMgr::SaveConfig() {
  // Saves from several threads (closing the settings window starts two)
  // take turns, each writing the table as it is at its turn: the file ends
  // with the newest table, never with an older one renamed over it.
  std::lock_guard<std::mutex> saving(configFileLock);
  const std::string autoStart = GetConfig("AutoStartUp");
  if (autoStart == "true") {
    std::wstring command;
    if (BuildAutostartCommand(&command)) SetRunValue(kAutostartName, command);
  } else {
    DeleteRunValue(kAutostartName);
  }

  std::map<std::string, std::string> entries;
  {
    std::lock_guard<std::mutex> l(configLock);
    entries = DeviceConfig;
  }
  Json::Value root(Json::objectValue);
  for (const auto& [key, value] : entries) root[AnsiToUtf8(key)] = AnsiToUtf8(value);
  const std::string content = ToTextMode(WriteCompact(root));

  // Written to a temporary file of its own beside the old file (mode 0600:
  // it holds the device key), flushed and renamed over it, so a full disk
  // or a crash leaves the old or the new file, never a truncated one.
  const std::string path = ConfigPath();
  int err = 0;
  if (!platform::ReplaceFileAtomically(path, content, &err)) {
    Log(LOG_ERROR, "保存配置文件时，打开文件失败, 文件名:%s,GetLastError:%d\n", path.c_str(), err);
    return false;
  }
  Log(LOG_INFO, "保存配置文件完成,文件:%s\n", path.c_str());
  return true;
}

std::string DataMgr::GetConfig(const std::string& key) {
  std::lock_guard<std::mutex> l(configLock);
  return DeviceConfig[key];  // an absent key is added empty, and saved so
}

void DataMgr::SetConfig(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> l(configLock);
  DeviceConfig[key] = value;
}

}  // namespace tillcast
