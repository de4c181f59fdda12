// What the simulated cloud knows: stores with their secret, logo and
// receipt template, devices with their binding key, orders and receipts.
// Read-only after loading; safe to share between request threads.
#pragma once

#include <json/json.h>

#include <map>
#include <string>
#include <vector>

namespace cloudsim {

struct Device {
  std::string deviceKey;  // the binding code typed at the till
  std::string deviceId;
  std::string deviceName;  // UTF-8
  std::string appId;       // identifies the binding in signed requests
  std::string storeId;
};

struct Store {
  std::string storeId;
  std::string storeCode;
  std::string storeName;        // UTF-8
  std::string secret;           // signs the device API requests
  std::string logoFile;         // "" = built-in picture
  std::string receiptTemplate;  // JSON text handed to the device
};

struct SimData {
  std::map<std::string, Store> stores;  // by storeId
  std::vector<Device> devices;
  std::map<std::string, Json::Value> orders;    // by order_no: the "order" object
  std::map<std::string, std::string> receipts;  // receipt_no -> receipt text (UTF-8)

  const Device* DeviceByKey(const std::string& key) const;
  const Device* DeviceByAppId(const std::string& appId) const;
  const Device* DeviceById(const std::string& id) const;
  const Store* StoreOf(const Device& d) const;
};

// The built-in data: one store, device key "DEMO-KEY-0001", one order.
SimData DefaultData();

// Reads a data file (format in --help); false with `*error` on failure.
bool LoadData(const std::string& path, SimData* out, std::string* error);

// Job and notify list keys of a device.
inline std::string JobKey(const std::string& deviceId) { return "print_jobs:" + deviceId; }
inline std::string NotifyKey(const std::string& deviceId) { return "print_notify:" + deviceId; }

// The bytes of the built-in logo (a small PNG).
std::string BuiltinLogo();

}  // namespace cloudsim
