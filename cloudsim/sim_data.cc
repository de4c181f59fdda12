#include "sim_data.h"

#include <memory>

#include "sim_util.h"

namespace cloudsim {
namespace {

constexpr char kDefaultTemplate[] =
    // Rules match the receipt's GBK bytes: a full-width colon is two bytes,
    // so it is an alternative, not a member of a class.
    R"T({"format":"json","rules":{"total":"合计(?:：|:)\\s*([0-9.]+)"},"row-width":32,)T"
    R"T("rows":[{"cols":[{"content-type":"txt","content":"感谢光临","align":"center","bold":1}]},)T"
    R"T({"cols":[{"content-type":"txt","content":"本单合计 total[1] 元"}]},)T"
    R"T({"blank-line":2,"cols":[{"content-type":"2d-code","content":"https://www.tillcast.example/r?t=total[1]",)T"
    R"T("align":"center","scale":4}]}]})T";

constexpr char kDefaultOrder[] =
    R"({"order_no":"O20240001","amount":"36.50","pay_amount":"35.00","pay_time":"2024-05-01 12:30:00","total_number":3,)"
    R"("items":[{"item_name":"矿泉水","sale_price":"2.50","quantity":"2","amount":"5.00"},)"
    R"({"item_name":"三明治","sale_price":"31.50","quantity":"1","amount":"31.50"}]})";

std::string Str(const Json::Value& v, const char* name) {
  const Json::Value* m = v.isObject() ? v.find(name, name + std::char_traits<char>::length(name)) : nullptr;
  return m != nullptr && m->isString() ? m->asString() : std::string();
}

bool Parse(const std::string& text, Json::Value* root, std::string* error) {
  Json::CharReaderBuilder b;
  b["allowComments"] = true;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  return r->parse(text.data(), text.data() + text.size(), root, error);
}

}  // namespace

const Device* SimData::DeviceByKey(const std::string& key) const {
  for (const auto& d : devices)
    if (!key.empty() && d.deviceKey == key) return &d;
  return nullptr;
}

const Device* SimData::DeviceByAppId(const std::string& appId) const {
  for (const auto& d : devices)
    if (!appId.empty() && d.appId == appId) return &d;
  return nullptr;
}

const Device* SimData::DeviceById(const std::string& id) const {
  for (const auto& d : devices)
    if (!id.empty() && d.deviceId == id) return &d;
  return nullptr;
}

const Store* SimData::StoreOf(const Device& d) const {
  const auto it = stores.find(d.storeId);
  return it == stores.end() ? nullptr : &it->second;
}

SimData DefaultData() {
  SimData data;
  Store s;
  s.storeId = "store-0001";
  s.storeCode = "S0001";
  s.storeName = "演示门店";
  s.secret = "demo-store-secret-0001";
  s.receiptTemplate = kDefaultTemplate;
  data.stores[s.storeId] = s;
  data.devices.push_back({"DEMO-KEY-0001", "dev-0001", "收银台1", "app-0001", s.storeId});
  Json::Value order;
  std::string error;
  Parse(kDefaultOrder, &order, &error);
  data.orders[Str(order, "order_no")] = order;
  data.receipts["R20240501000000000001"] =
      "演示门店\n小票号 R20240501000000000001\n矿泉水 x2      5.00\n三明治 x1     31.50\n合计：36.50\n";
  return data;
}

bool LoadData(const std::string& path, SimData* out, std::string* error) {
  std::string text;
  if (!ReadFile(path, &text)) {
    *error = "cannot open " + path;
    return false;
  }
  Json::Value root;
  if (!Parse(text, &root, error)) return false;
  if (!root.isObject() || !root["stores"].isArray()) {
    *error = "the data file needs a \"stores\" array";
    return false;
  }
  SimData data;
  for (const Json::Value& js : root["stores"]) {
    Store s;
    s.storeId = Str(js, "storeId");
    s.storeCode = Str(js, "storeCode");
    s.storeName = Str(js, "storeName");
    s.secret = Str(js, "secret");
    s.logoFile = Str(js, "logoFile");
    if (js["receiptTemplate"].isString())
      s.receiptTemplate = js["receiptTemplate"].asString();
    else if (js["receiptTemplate"].isObject())
      s.receiptTemplate = Compact(js["receiptTemplate"]);
    if (s.storeId.empty()) {
      *error = "a store without storeId";
      return false;
    }
    for (const Json::Value& jd : js["devices"]) {
      Device d{Str(jd, "deviceKey"), Str(jd, "deviceId"), Str(jd, "deviceName"), Str(jd, "appId"), s.storeId};
      if (d.deviceKey.empty() || d.deviceId.empty() || d.appId.empty()) {
        *error = "a device needs deviceKey, deviceId and appId";
        return false;
      }
      data.devices.push_back(d);
    }
    data.stores[s.storeId] = s;
  }
  for (const Json::Value& jo : root["orders"]) {
    if (!Str(jo, "order_no").empty()) data.orders[Str(jo, "order_no")] = jo;
  }
  if (root["receipts"].isObject()) {
    for (const std::string& name : root["receipts"].getMemberNames()) {
      if (root["receipts"][name].isString()) data.receipts[name] = root["receipts"][name].asString();
    }
  }
  *out = std::move(data);
  return true;
}

std::string BuiltinLogo() {
  static const unsigned char kPng[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
      0x04, 0x00, 0x00, 0x00, 0x04, 0x08, 0x06, 0x00, 0x00, 0x00, 0xa9, 0xf1, 0x9e, 0x7e, 0x00, 0x00, 0x00, 0x12, 0x49,
      0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x38, 0x21, 0x27, 0xf7, 0x1f, 0x19, 0x33, 0x90, 0x2e, 0x00, 0x00, 0x41, 0xb8,
      0x20, 0x31, 0xfb, 0x35, 0x7b, 0x66, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  return std::string(reinterpret_cast<const char*>(kPng), sizeof kPng);
}

}  // namespace cloudsim
