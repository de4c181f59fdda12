// The agent's client of the two cloud services (the device API on the
// vendor's web server and the order service) and the owner of the network
// thread that takes print jobs from the device's Redis lists.
//
// Thread-safety: the cloud operations may be called from any thread; they
// hold no lock of their own and read the configuration and binding through
// DataMgr. UploadTicketInfoFile, PrepareTicketUpload and
// PrintAddtionalReceipt keep the duplicate rule's state and are called from
// one thread (the capture upload worker). Start and Stop are called from the
// main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "data/raw_print.h"

#include "net/redis_conn.h"
#include "platform/clock.h"

namespace tillcast {

// Waits of the job fetch loop; tests shorten them.
struct NetLoopTimings {
  int32_t blpopTimeoutSeconds = 5;   // each BLPOP (servers without BLMOVE, or no job list)
  int32_t blmoveTimeoutSeconds = 1;  // each BLMOVE: notify elements wait at most this long
  int32_t retryWaitMs = 5000;        // after a failed connection (cut short by Stop)
  int32_t lostPauseMs = 5000;        // after a BLPOP the server did not answer
  int32_t stopPolls = 40;            // Stop polls the thread's end this often ...
  int32_t stopPollMs = 100;          // ... this far apart
  uint32_t connectTimeoutSeconds = 15;
};

// Where the job lists are: the Redis server of the connection description,
// with setting.ini's [proxy] redis_ip / redis_port in place of host and port.
struct RedisTarget {
  std::string host;
  int32_t port = 0;
  std::string password;
  int32_t database = 0;
};
enum class RedisTargetError { kNone, kNoPort, kBadPort, kNoDatabase, kBadDatabase, kNoHost };

// How a capture reaches the upload: at once after the till printed it, held
// back (by a print queue or the driver) and let go late, or left by an
// earlier run.
enum class TicketAge { kFresh, kHeld, kLate };
// Fills `out` from DataMgr's binding and the process settings; on a value
// that is not a number, `*badValue` gets it. Thread-safe.
RedisTargetError BoundRedisTarget(RedisTarget* out, std::string* badValue);

class NetMgr {
 public:
  // Renders the additional receipt from the captured text and the bound
  // template and prints it; true when printed.
  using ReceiptRenderer = std::function<bool(const std::string& ticket, const std::string& templ)>;

  // The process-wide instance (thread-safe first use).
  static NetMgr& GetInstance();
  static NetMgr& Instance() { return GetInstance(); }

  // A separate instance for tests: `clock` (not owned, outlives the object)
  // drives the duplicate rule and the Redis throttle.
  explicit NetMgr(platform::Clock* clock, const NetLoopTimings& timings = NetLoopTimings());
  // Joins the network thread, then releases libcurl.
  ~NetMgr();
  NetMgr(const NetMgr&) = delete;
  NetMgr& operator=(const NetMgr&) = delete;

  // Cloud operations; false with a log line (and for most a last message
  // in DataMgr) on failure.
  bool CreateConnection();
  bool GetConnectionInfo();
  std::string GetConnectParam();
  bool UploadTicketInfoFile(const std::string& path);
  bool UploadTicketInfo(const std::string& content);
  bool PrintAddtionalReceipt(const std::string& data);
  // The duplicate rule judged at `tick` (when the capture was finished),
  // not at the moment the printing runs. `held`: a capture held back and
  // let go late, `tick` being when it was printed or, where that is not
  // known, when it arrived; such captures are judged among themselves (a
  // run of their own), leaving the run of fresh captures as it was.
  bool PrintAddtionalReceipt(const std::string& data, uint32_t tick, bool held = false);

  // The two halves of UploadTicketInfoFile, for uploads that are kept until
  // the cloud takes them. PrepareTicketUpload runs the checks on the
  // captured `bytes` (`path` names them in the log) and, unless the capture
  // is kLate, the duplicate rule at `tick` (among held captures for kHeld)
  // and the additional receipt; true with the signed request body. SendTicketUpload posts such a body as it is (a
  // repeat is the same request, nonce included) and returns the reply code.
  bool PrepareTicketUpload(const std::string& bytes, const std::string& path, uint32_t tick, TicketAge age,
                           std::string* body);
  int32_t SendTicketUpload(const std::string& body);

  // Called after every cloud request that was answered with 200 (any
  // thread): the cloud is there again. Thread-safe.
  void SetCloudReachableHook(std::function<void()> hook);
  bool GetStoreLogo();
  bool RequestReceiptPrint(const std::string& code);
  bool GetOrderInfo(const std::string& orderNo);

  // The renderer of additional receipts (the printing module). Unset, every
  // render counts as failed. Thread-safe.
  void SetReceiptRenderer(ReceiptRenderer renderer);

  // Plugs this object's order lookup into DataMgr::SetOrderQuery, so order
  // jobs of the Redis list reach the order service. Start does it too.
  void InstallDataHooks();

  // Starts the network thread (once; true when it was started) and asks it
  // to end. Stop waits for the end at most stopPolls x stopPollMs and
  // returns whether the thread has ended.
  bool Start();
  bool Stop();

  // Keeps the downloaded store logo; true when kept. Unset, the bytes go to
  // the logo file (StoreLogoFilePath, base/install_layout.h). Thread-safe.
  using LogoSaver = std::function<bool(const std::string& bytes)>;
  void SetStoreLogoSaver(LogoSaver saver);

 private:
  NetMgr();
  void NetThreadProc();
  bool ConnectRedis();
  bool RedisGetData();
  // Waits up to `ms` or until Stop.
  void WaitOrStop(int32_t ms);
  // Sets stopRequested_, wakes a wait and interrupts a BLPOP; no waiting.
  void RequestStop();
  void NetworkFailureMessage(int32_t code);
  void CloudReached();
  // The signed upload body of `content` (Base64 of a receipt); "" when the
  // device is not bound.
  std::string SignedUploadBody(const std::string& content);

  // One pass of the job loop (net_loop.cc). Each returns false when the
  // connection is gone.
  bool RecoverProcessingList(const std::string& jobKey);
  bool FetchJob(const std::string& jobKey, const std::string& notifyKey);
  bool FetchJobWithBlpop(const std::string& jobKey, const std::string& notifyKey);
  bool HoldPass(const std::string& jobKey, const std::string& notifyKey);
  // Hands a job to DataMgr; `inProcessingList` when it is the head of the
  // processing list, removed once done.
  bool HandleJob(const std::string& jobKey, const std::string& job, size_t fingerprint, bool inProcessingList);
  bool RemoveHead(const std::string& jobKey, size_t fingerprint);
  bool MoveHeadToDead(const std::string& jobKey, const std::string& job, long long tries);
  bool ServeNotify(const std::string& notifyKey);
  void TakeNotifyReply(const RedisReply& reply);
  // Gives back the try of a held job left unfinished by a stop.
  void ReturnUnfinishedTry();

  std::unique_ptr<CRedisConn> redis_;  // replaced only by the network thread, under redisLock_
  std::mutex redisLock_;
  std::thread thread_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> threadStopped_{false};
  std::mutex waitLock_;
  std::condition_variable waitSignal_;
  uint32_t receiptCounter_ = 0;
  uint32_t lastReceiptTick_ = 0;
  // The same rule for captures that were held back (TicketAge::kHeld).
  uint32_t heldReceiptCounter_ = 0;
  uint32_t lastHeldReceiptTick_ = 0;

  platform::Clock* clock_;
  NetLoopTimings timings_;
  std::mutex hookLock_;
  ReceiptRenderer renderer_;
  LogoSaver logoSaver_;
  std::function<void()> reachableHook_;
  std::mutex startLock_;
  std::atomic<bool> hooksInstalled_{false};
  // Set when the last RedisGetData failed for want of keys (the loop then
  // waits instead of reconnecting at once).
  bool noKeys_ = false;

  // State of the job list, network thread only.
  bool useBlmove_ = true;  // false once this connection's server refused BLMOVE
  bool warnedNoBlmove_ = false;
  bool recovered_ = false;  // the processing list of recoveredKey_ was worked off since connecting
  std::string recoveredKey_;
  bool notifyErrorLogged_ = false;
  // The job whose try this process counted, and one handled whose removal
  // from the processing list did not get through (0: none).
  size_t triedFingerprint_ = 0;
  size_t unremovedFingerprint_ = 0;
  // A raw job waiting for its printer.
  struct HeldJob {
    HeldPrintJob job;
    size_t fingerprint = 0;
    bool inProcessingList = false;
    std::string jobKey;
    uint32_t sinceTick = 0;
  };
  std::optional<HeldJob> held_;
};

}  // namespace tillcast
