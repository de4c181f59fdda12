// The process-wide keeper of the agent's local data: the device
// configuration, the store binding and connection description, the order
// queue and the last user-facing message.
//
// Thread-safe: every public member may be called from any thread after
// Init. bindLock guards the binding, configLock the configuration and the
// order queue; the two are never held together and neither is held while
// calling out of DataMgr. configFileLock and bindFileLock serialise the
// writes of cloudconfig.dat and cloudbind.json: each is held for one whole
// save, and the table (or reply) is taken under it, so the last save to
// finish always writes the newest state. A file lock is taken before the
// table's lock and never while the other file lock is held.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "data/order_info.h"
#include "data/raw_print.h"

namespace tillcast {

// Built-in values of the configuration.
inline constexpr const char* kAppVersion = "1.1.4.26";
inline constexpr const char* kDefaultServerUrl = "https://www.tillcast.example";

class DataMgr {
 public:
  using RawPrinter = tillcast::RawPrinter;
  // Starts the order query for an order number (the reply comes back through
  // ParseOrderInfo).
  using OrderQuery = std::function<void(const std::string& order_no)>;
  // Binds the printer library; called at the end of Init.
  using SdkBinder = std::function<bool()>;

  static DataMgr& GetInstance();

  // Defaults, then the file, then the printer library binding.
  void Init();

  // Device configuration, persisted as <data folder>/cloudconfig.dat.
  bool LoadConfig();
  bool SaveConfig();
  std::string GetConfig(const std::string& key);
  void SetConfig(const std::string& key, const std::string& value);

  // Store binding (<data folder>/cloudbind.json) and connection description.
  bool LoadBindInfo();
  // Replaces cloudbind.json with the binding reply `body` (byte for byte,
  // atomically, mode 0600) and loads it; false when it cannot be written or
  // does not load.
  bool SaveBindInfo(const std::string& body);
  bool ParseConnectionInfo(const std::string& text);
  std::string GetBindInfo(const std::string& key);
  void SetBindInfo(const std::string& key, const std::string& value);

  // Handles one element of the job list: prints a raw job, starts an order
  // query, refuses what cannot be parsed. True when the job is done with;
  // false only for a raw job whose printer stayed unavailable through `how`,
  // which then goes to `held` (when given) for RetryHeldJob, unlogged.
  // Without `held` such a job fails as any other.
  bool ProcessPrintJob(const std::string& text, HeldPrintJob* held = nullptr, const RawPrintTry& how = RawPrintTry());
  // Tries a held job again; false while its printer is still unavailable.
  // True when it printed, failed, or printing was switched off meanwhile.
  bool RetryHeldJob(const HeldPrintJob& job, const RawPrintTry& how);
  // Logs that a held job is given up.
  void DropHeldJob(const HeldPrintJob& job, int32_t heldSeconds);

  // Order replies.
  bool ParseOrderInfo(const std::string& text);
  void PushOrderInfo(const OrderInfo& record);
  bool PopOrderInfo(OrderInfo& out);

  void SetLastMessage(const std::string& text);
  std::string GetLastMessage();

  // Where the other subsystems plug in. Unset: raw printing fails as an
  // unreachable printer would; order jobs are logged and dropped.
  void SetRawPrinter(RawPrinter printer);
  void SetOrderQuery(OrderQuery query);
  void SetSdkBinder(SdkBinder binder);

  // Paths of the two state files.
  std::string ConfigPath() const;
  std::string BindPath() const;

  // Test hook: back to the state before Init (tables and hooks cleared).
  void ResetForTest();

 private:
  DataMgr() = default;
  RawPrinter GetRawPrinter();
  RawPrintResult PrintHeld(const HeldPrintJob& job, const RawPrintTry& how);
  static void LogPrintResult(const std::string& jobId, bool printed);

  std::mutex bindLock;
  std::map<std::string, std::string> StoreBinding;
  std::mutex configLock;
  std::map<std::string, std::string> DeviceConfig;
  std::mutex configFileLock;  // one SaveConfig at a time
  std::mutex bindFileLock;    // one SaveBindInfo at a time
  std::mutex messageLock;
  std::string lastMessage;
  std::deque<OrderInfo> orderQueue;

  std::mutex hookLock;
  RawPrinter rawPrinter;
  OrderQuery orderQuery;
  SdkBinder sdkBinder;
};

}  // namespace tillcast
