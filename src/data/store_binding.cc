// The store binding (cloudbind.json) and the connection description.
#include <json/json.h>

#include <algorithm>
#include <string>

#include "base/log.h"
#include "base/log_excerpt.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "data/json_util.h"
#include "platform/paths.h"

namespace tillcast {
namespace {

using data_internal::FindMember;
using data_internal::ParseJson;
using data_internal::StringMember;

// An absent member reads as an empty object; only a present member of
// another type is "not an object".
bool ObjectOrAbsent(const Json::Value* v) { return v == nullptr || v->isObject(); }

const Json::Value& OrEmpty(const Json::Value* v) {
  static const Json::Value kEmpty(Json::objectValue);
  return v != nullptr ? *v : kEmpty;
}

}  // namespace

bool DataMgr::LoadBindInfo() {
  std::string text;
  int err = 0;
  if (!platform::ReadWholeFile(BindPath(), &text, &err)) return false;  // not bound yet
  Json::Value root;
  if (!ParseJson(text, &root)) return false;

  const Json::Value* message = FindMember(root, "message");
  if (message == nullptr || !message->isString() || message->asString() != "success") return false;
  const Json::Value* result = FindMember(root, "result");
  if (result != nullptr && !result->isObject()) return false;

  // All four or nothing: a half binding would sign requests with a wrong key.
  static constexpr const char* kFields[] = {"jobKey", "storeId", "secret", "appId"};
  std::string values[4];
  for (size_t i = 0; i < 4; ++i) {
    const Json::Value* v = result != nullptr ? FindMember(*result, kFields[i]) : nullptr;
    if (v == nullptr || !v->isString()) return false;
    values[i] = v->asString();
  }
  {
    std::lock_guard<std::mutex> l(bindLock);
    for (size_t i = 0; i < 4; ++i) StoreBinding[kFields[i]] = values[i];
  }
  Log(LOG_INFO, "connect请求必须数据：jobkey:%s,storeId:%s,secret:%s,appId:%s \n", values[0].c_str(), values[1].c_str(),
      MaskSecret(values[2]).c_str(), values[3].c_str());
  return true;
}

bool DataMgr::SaveBindInfo(const std::string& body) {
  // One binding at a time: the file and the table end with the same reply.
  std::lock_guard<std::mutex> saving(bindFileLock);
  // Replaced as a whole or not at all (mode 0600: it holds the store's
  // signing secret); a binding cut short by a crash or a full disk would
  // lose that secret.
  const std::string path = BindPath();
  int err = 0;
  if (!platform::ReplaceFileAtomically(path, body, &err)) {
    Log(LOG_ERROR, "保存文件失败，文件名：%s,errno:%d", path.c_str(), err);
    return false;
  }
  Log(LOG_INFO, "保存文件完成，文件名：%s", path.c_str());
  return LoadBindInfo();
}

bool DataMgr::ParseConnectionInfo(const std::string& text) {
  Json::Value root;
  if (!ParseJson(text, &root)) return false;

  const Json::Value* message = FindMember(root, "message");
  if (message == nullptr || !message->isString()) return false;
  if (message->asString() != "success") {
    Log(LOG_ERROR, "解析get返回数据失败，%s\n", LogExcerpt(MaskJsonMembers(text, "password")).c_str());
    return false;
  }
  const Json::Value* resultMember = FindMember(root, "result");
  if (!ObjectOrAbsent(resultMember)) {
    Log(LOG_ERROR, "ParseConnectionInfo json  result 不存在，%s\n",
        LogExcerpt(MaskJsonMembers(text, "password")).c_str());
    return false;
  }
  const Json::Value& result = OrEmpty(resultMember);

  // A device member of another type changes nothing; an object (or none)
  // replaces every value, so a missing member clears the old one.
  const Json::Value* device = FindMember(result, "device");
  if (ObjectOrAbsent(device)) {
    const Json::Value& d = OrEmpty(device);
    SetBindInfo("store_code", StringMember(d, "storeCode"));
    SetBindInfo("store_name", Utf8ToAnsi(StringMember(d, "storeName")));
    SetBindInfo("device_name", Utf8ToAnsi(StringMember(d, "deviceName")));
    SetConfig("DeviceID", StringMember(d, "deviceId"));
    SetBindInfo("RedisKey", StringMember(d, "job_key"));
    SetConfig("LogoURL", StringMember(d, "logo"));
    SetBindInfo("RedisConfigNotifyKey", StringMember(d, "config_notify_key"));

    std::string receipt;
    const Json::Value* config = FindMember(result, "config");
    if (ObjectOrAbsent(config)) {
      const Json::Value* r = FindMember(OrEmpty(config), "receipt");
      if (r != nullptr && r->isString()) {
        receipt = r->asString();
        Log(LOG_INFO, "小票追加内容:%s", LogExcerpt(receipt).c_str());
      }
    }
    SetBindInfo("RedisConfigReceiptKey", receipt);
  }

  const Json::Value* connection = FindMember(result, "connection");
  if (ObjectOrAbsent(connection)) {
    const Json::Value& c = OrEmpty(connection);
    std::string port;
    if (const Json::Value* p = FindMember(c, "port")) {
      if (p->isString()) {
        port = p->asString();
      } else if (p->isInt()) {
        port = std::to_string(p->asInt());
      }
    }
    SetBindInfo("RedisPort", port);
    // Host, password and database keep their last values unless the reply
    // names them with the right type.
    if (const Json::Value* h = FindMember(c, "host"); h != nullptr && h->isString()) {
      SetBindInfo("RedisHost", h->asString());
    }
    if (const Json::Value* pw = FindMember(c, "password"); pw != nullptr && pw->isString()) {
      SetBindInfo("RedisPsw", pw->asString());
    }
    if (const Json::Value* db = FindMember(c, "database"); db != nullptr && db->isInt()) {
      SetBindInfo("RedisDataBase", std::to_string(db->asInt()));
    }
  }
  return true;
}

std::string DataMgr::GetBindInfo(const std::string& key) {
  std::lock_guard<std::mutex> l(bindLock);
  return StoreBinding[key];
}

void DataMgr::SetBindInfo(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> l(bindLock);
  StoreBinding[key] = value;
}

}  // namespace tillcast
