#include "data/data_mgr.h"

#include <json/json.h>

#include <cstring>
#include <exception>
#include <utility>

#include "base/log.h"
#include "base/text_util.h"
#include "data/json_util.h"

namespace tillcast {
namespace data_internal {

bool ParseJson(const std::string& text, Json::Value* root) {
  // The reader the agent has always used: comments allowed, any root.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader(Json::Features::all());
  try {
    return reader.parse(text.data(), text.data() + text.size(), *root, false);
  } catch (const std::exception&) {
    // jsoncpp throws on nesting deeper than its stack limit.
    *root = Json::Value();
    return false;
  }
#pragma GCC diagnostic pop
}

const Json::Value* FindMember(const Json::Value& object, const char* name) {
  // find() asserts on arrays and scalars, so test the type first.
  if (!object.isObject()) return nullptr;
  return object.find(name, name + std::strlen(name));
}

std::string StringMember(const Json::Value& object, const char* name) {
  const Json::Value* v = FindMember(object, name);
  return v != nullptr && v->isString() ? v->asString() : std::string();
}

}  // namespace data_internal

DataMgr& DataMgr::GetInstance() {
  static DataMgr instance;
  return instance;
}

void DataMgr::SetRawPrinter(RawPrinter printer) {
  std::lock_guard<std::mutex> l(hookLock);
  rawPrinter = std::move(printer);
}

void DataMgr::SetOrderQuery(OrderQuery query) {
  std::lock_guard<std::mutex> l(hookLock);
  orderQuery = std::move(query);
}

void DataMgr::SetSdkBinder(SdkBinder binder) {
  std::lock_guard<std::mutex> l(hookLock);
  sdkBinder = std::move(binder);
}

DataMgr::RawPrinter DataMgr::GetRawPrinter() {
  std::lock_guard<std::mutex> l(hookLock);
  return rawPrinter;
}

std::string DataMgr::ConfigPath() const { return GetDataFolder() + "/cloudconfig.dat"; }

std::string DataMgr::BindPath() const { return GetDataFolder() + "/cloudbind.json"; }

void DataMgr::ResetForTest() {
  {
    std::lock_guard<std::mutex> l(bindLock);
    StoreBinding.clear();
  }
  {
    std::lock_guard<std::mutex> l(configLock);
    DeviceConfig.clear();
    orderQueue.clear();
  }
  {
    std::lock_guard<std::mutex> l(messageLock);
    lastMessage.clear();
  }
  std::lock_guard<std::mutex> l(hookLock);
  rawPrinter = nullptr;
  orderQuery = nullptr;
  sdkBinder = nullptr;
}

}  // namespace tillcast
