// Per-user named values (the home platform's per-user registry keys).
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace tillcast::platform {

// Largest value, in bytes, that a read accepts (a 16384-byte buffer with its
// terminating zero).
inline constexpr size_t kMaxUserValueBytes = 16383;

// Thread-safe.
class UserValueStore {
 public:
  virtual ~UserValueStore() = default;
  // Reads value `name` under `key` (for example "Software\\Zellora"). False
  // when the key or value is missing, unreadable, or longer than
  // kMaxUserValueBytes.
  virtual bool Read(const std::string& key, const std::string& name, std::string* value) = 0;
  // Creates the key when needed and stores `value` (any bytes, "" allowed).
  virtual bool Write(const std::string& key, const std::string& name, const std::string& value) = 0;
};

// Values as files under $XDG_CONFIG_HOME: key "Software\\Zellora", value
// "devicekey" is <config>/Zellora/devicekey, mode 0600.
class PosixUserValueStore final : public UserValueStore {
 public:
  explicit PosixUserValueStore(std::string root);  // "" = UserConfigRoot()
  bool Read(const std::string& key, const std::string& name, std::string* value) override;
  bool Write(const std::string& key, const std::string& name, const std::string& value) override;
  std::string PathOf(const std::string& key, const std::string& name) const;

 private:
  std::string root_;
};

class FakeUserValueStore final : public UserValueStore {
 public:
  bool Read(const std::string& key, const std::string& name, std::string* value) override {
    std::lock_guard<std::mutex> l(mu_);
    auto it = values_.find(key + "\\" + name);
    if (it == values_.end() || it->second.size() > kMaxUserValueBytes) return false;
    *value = it->second;
    return true;
  }
  bool Write(const std::string& key, const std::string& name, const std::string& value) override {
    std::lock_guard<std::mutex> l(mu_);
    values_[key + "\\" + name] = value;
    return true;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::string> values_;
};

}  // namespace tillcast::platform
