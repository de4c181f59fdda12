// The machine-wide "run at log-on" entries.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace tillcast::platform {

// Thread-safe.
class AutostartStore {
 public:
  virtual ~AutostartStore() = default;
  // Registers `command` to run at log-on under `name`. False when the
  // entry cannot be written (no rights, missing folder).
  virtual bool SetRunValue(const std::wstring& name, const std::wstring& command) = 0;
  // Removes entry `name`. False only when the store cannot be opened for
  // writing; a missing entry is not an error.
  virtual bool DeleteRunValue(const std::wstring& name) = 0;
};

// XDG autostart entries: <folder>/<name>.desktop with Exec= the command.
class XdgAutostartStore final : public AutostartStore {
 public:
  explicit XdgAutostartStore(std::string folder);  // "" = AutostartFolder()
  bool SetRunValue(const std::wstring& name, const std::wstring& command) override;
  bool DeleteRunValue(const std::wstring& name) override;
  std::string EntryPath(const std::wstring& name) const;

 private:
  std::string folder_;
};

class FakeAutostartStore final : public AutostartStore {
 public:
  bool SetRunValue(const std::wstring& name, const std::wstring& command) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!writable) return false;
    values[name] = command;
    return true;
  }
  bool DeleteRunValue(const std::wstring& name) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!writable) return false;
    values.erase(name);
    return true;
  }
  bool writable = true;
  std::map<std::wstring, std::wstring> values;

 private:
  std::mutex mu_;
};

}  // namespace tillcast::platform
