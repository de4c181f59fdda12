// The network thread of NetMgr: takes print jobs from the device's job list
// and serves its notify list, reconnecting for ever until Stop.
//
// Jobs are taken at least once: BLMOVE moves the head of the job list to
// the tail of the processing list "{<job list>}:processing" (the hash tag
// keeps both in one cluster slot), and the job is removed from there, by
// LPOP of its head, only once it is done. A job the agent, the printer or
// Redis failed on is still there when they are back, and is handled first.
// "{<job list>}:tries" counts the tries of the processing list's head; one
// found there after two tries (it crashed the agent twice) goes to
// "{<job list>}:dead". BLMOVE waits on one list only, so each pass also pops
// the notify list without waiting.
#include <cctype>
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "base/log.h"
#include "base/log_excerpt.h"
#include "base/printer_settings.h"
#include "base/process_settings.h"
#include "data/data_mgr.h"
#include "data/json_util.h"
#include "net/net_mgr.h"

namespace tillcast {

namespace {

// A job found at the head of the processing list with this many tries
// behind it goes to the dead list.
constexpr long long kMaxTries = 2;

std::string ProcessingKey(const std::string& jobKey) { return "{" + jobKey + "}:processing"; }
std::string TriesKey(const std::string& jobKey) { return "{" + jobKey + "}:tries"; }
std::string DeadKey(const std::string& jobKey) { return "{" + jobKey + "}:dead"; }

// Tells jobs apart without keeping them; never 0, which stands for none.
size_t Fingerprint(const std::string& job) {
  const size_t h = std::hash<std::string>()(job) ^ (job.size() * size_t{0x9E3779B97F4A7C15ull});
  return h == 0 ? 1 : h;
}

std::string JobIdOf(const std::string& job) {
  Json::Value root;
  if (!data_internal::ParseJson(job, &root)) return "(unparsable)";
  return data_internal::StringMember(root, "job_id");
}

// The leading decimal number of `text` after blanks; false when there is
// none or it does not fit.
bool LeadingNumber(const std::string& text, long long limit, int32_t* out) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > limit) return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

bool NetMgr::Start() {
  std::lock_guard<std::mutex> l(startLock_);
  if (thread_.joinable()) {
    if (!threadStopped_) return false;  // already running
    thread_.join();
  }
  stopRequested_ = false;
  threadStopped_ = false;
  InstallDataHooks();
  thread_ = std::thread(&NetMgr::NetThreadProc, this);
  return true;
}

void NetMgr::RequestStop() {
  {
    // Under the lock, so a waiter between its check and its wait cannot
    // miss the wake-up.
    std::lock_guard<std::mutex> l(waitLock_);
    stopRequested_ = true;
  }
  waitSignal_.notify_all();
  {
    // A blocking pop in progress would hold the thread for up to its
    // timeout. A job it moved stays in the processing list; other commands
    // are left to finish.
    std::lock_guard<std::mutex> l(redisLock_);
    if (redis_) redis_->Interrupt();
  }
}

bool NetMgr::Stop() {
  RequestStop();
  for (int32_t i = 0; i < timings_.stopPolls; ++i) {
    if (threadStopped_) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(timings_.stopPollMs));
  }
  return threadStopped_;
}

void NetMgr::WaitOrStop(int32_t ms) {
  std::unique_lock<std::mutex> l(waitLock_);
  waitSignal_.wait_for(l, std::chrono::milliseconds(ms), [this] { return stopRequested_.load(); });
}

void NetMgr::NetThreadProc() {
  Log(LOG_INFO, "开启网络处理线程");
  for (;;) {
    if (stopRequested_) {
      ReturnUnfinishedTry();
      Log(LOG_INFO, "终止网络处理线程");
      threadStopped_ = true;
      return;
    }
    if (!ConnectRedis()) {
      WaitOrStop(timings_.retryWaitMs);
      continue;
    }
    for (;;) {
      if (stopRequested_) break;
      if (!RedisGetData()) {
        Log(LOG_ERROR, "RedisGetData failed, reconnect");
        // Without a key to wait on, reconnecting at once would spin.
        if (noKeys_) WaitOrStop(timings_.retryWaitMs);
        break;
      }
    }
  }
}

RedisTargetError BoundRedisTarget(RedisTarget* out, std::string* badValue) {
  DataMgr& data = DataMgr::GetInstance();
  const ProcessSettings& settings = GetProcessSettings();
  std::string host = data.GetBindInfo("RedisHost");
  std::string portText = data.GetBindInfo("RedisPort");
  if (!settings.redisIp.empty()) host = settings.redisIp;
  if (!settings.redisPort.empty()) portText = settings.redisPort;
  if (portText.empty()) return RedisTargetError::kNoPort;
  if (!LeadingNumber(portText, 65535, &out->port) || out->port == 0) {
    *badValue = portText;
    return RedisTargetError::kBadPort;
  }
  const std::string dbText = data.GetBindInfo("RedisDataBase");
  if (dbText.empty()) return RedisTargetError::kNoDatabase;
  if (!LeadingNumber(dbText, INT32_MAX, &out->database)) {
    *badValue = dbText;
    return RedisTargetError::kBadDatabase;
  }
  out->password = data.GetBindInfo("RedisPsw");
  if (host.empty()) return RedisTargetError::kNoHost;
  out->host = host;
  return RedisTargetError::kNone;
}

bool NetMgr::ConnectRedis() {
  RedisTarget target;
  std::string bad;
  switch (BoundRedisTarget(&target, &bad)) {
    case RedisTargetError::kNoPort: Log(LOG_ERROR, "连接redis失败，port为空"); return false;
    case RedisTargetError::kBadPort:
      Log(LOG_ERROR, "连接redis失败，port无效:%s", LogExcerpt(bad).c_str());
      return false;
    case RedisTargetError::kNoDatabase: return false;
    case RedisTargetError::kBadDatabase:
      Log(LOG_ERROR, "连接redis失败，database无效:%s", LogExcerpt(bad).c_str());
      return false;
    case RedisTargetError::kNoHost: Log(LOG_ERROR, "连接redis失败，host空\n"); return false;
    case RedisTargetError::kNone: break;
  }
  {
    std::lock_guard<std::mutex> l(redisLock_);
    redis_ = std::make_unique<CRedisConn>(clock_);
  }
  if (stopRequested_) return false;
  if (redis_->Connect(target.host, target.port, target.password, target.database, timings_.connectTimeoutSeconds)) {
    // A new connection may be a new server: its processing list first,
    // and BLMOVE tried again.
    recovered_ = false;
    useBlmove_ = true;
    notifyErrorLogged_ = false;
    return true;
  }
  Log(LOG_ERROR, "连接redis失败 %s", redis_->GetErrorText().c_str());
  return false;
}

bool NetMgr::RedisGetData() {
  DataMgr& data = DataMgr::GetInstance();
  const std::string jobKey = data.GetBindInfo("RedisKey");
  const std::string notifyKey = data.GetBindInfo("RedisConfigNotifyKey");
  noKeys_ = jobKey.empty() && notifyKey.empty();
  if (noKeys_ || !redis_) return false;
  if (!redis_->IsConnected()) return false;

  bool connected;
  if (held_) {
    connected = HoldPass(jobKey, notifyKey);
  } else if (!recovered_ || recoveredKey_ != jobKey) {
    connected = RecoverProcessingList(jobKey);
  } else if (useBlmove_ && !jobKey.empty()) {
    connected = FetchJob(jobKey, notifyKey);
  } else {
    connected = FetchJobWithBlpop(jobKey, notifyKey);
  }
  // The connection is closed now; the next pass reconnects.
  if (!connected) WaitOrStop(timings_.lostPauseMs);
  return true;
}

bool NetMgr::RecoverProcessingList(const std::string& jobKey) {
  if (!jobKey.empty()) {
    RedisReply head;
    if (!redis_->Command({"LINDEX", ProcessingKey(jobKey), "0"}, &head)) return false;
    if (head.type == RedisReply::kString) {
      const std::string job = std::move(head.str);
      const size_t fingerprint = Fingerprint(job);
      if (fingerprint == unremovedFingerprint_) {
        // Handled before the connection broke. Its removal deleted the
        // tries too: with them still there, it did not get through.
        RedisReply tries;
        if (!redis_->Command({"EXISTS", TriesKey(jobKey)}, &tries)) return false;
        if (tries.type == RedisReply::kInteger && tries.integer == 1) return RemoveHead(jobKey, fingerprint);
      }
      unremovedFingerprint_ = 0;
      if (fingerprint != triedFingerprint_) {
        RedisReply tries;
        if (!redis_->Command({"INCR", TriesKey(jobKey)}, &tries)) return false;
        triedFingerprint_ = fingerprint;
        if (tries.type == RedisReply::kInteger && tries.integer > kMaxTries)
          return MoveHeadToDead(jobKey, job, tries.integer - 1);
      }
      return HandleJob(jobKey, job, fingerprint, true);
    }
    if (head.type == RedisReply::kError) {
      Log(LOG_ERROR, "redis LINDEX %s 错误：%s", ProcessingKey(jobKey).c_str(), head.str.c_str());
    } else {
      // Nothing left over: neither are tries.
      RedisReply deleted;
      if (!redis_->Command({"DEL", TriesKey(jobKey)}, &deleted)) return false;
      unremovedFingerprint_ = 0;
    }
  }
  recovered_ = true;
  recoveredKey_ = jobKey;
  return true;
}

bool NetMgr::FetchJob(const std::string& jobKey, const std::string& notifyKey) {
  RedisReply moved;
  if (!redis_->BLMOVE(jobKey, ProcessingKey(jobKey), timings_.blmoveTimeoutSeconds, &moved)) return false;
  if (moved.type == RedisReply::kError) {
    if (moved.str.rfind("ERR unknown command", 0) == 0) {
      useBlmove_ = false;
      if (!warnedNoBlmove_) {
        Log(LOG_WARNING,
            "the Redis server has no BLMOVE (%s): jobs are taken with BLPOP, and a job the agent is stopped or "
            "fails on while printing is lost",
            LogExcerpt(moved.str).c_str());
        warnedNoBlmove_ = true;
      }
      return true;
    }
    // A key of another type is answered at once, every time: wait as after
    // a failed connection instead of asking again at full speed.
    Log(LOG_ERROR, "redis BLMOVE 错误：%s", LogExcerpt(moved.str).c_str());
    WaitOrStop(timings_.retryWaitMs);
    return true;
  }
  const bool got = moved.type == RedisReply::kString;
  std::vector<std::vector<std::string>> commands;
  if (!notifyKey.empty()) commands.push_back({"LPOP", notifyKey});
  if (got) commands.push_back({"SET", TriesKey(jobKey), "1"});
  std::vector<RedisReply> replies;
  // A job moved already is in the processing list, handled after the
  // reconnect.
  if (!commands.empty() && !redis_->Pipeline(commands, &replies)) return false;
  bool connected = true;
  if (got) {
    triedFingerprint_ = Fingerprint(moved.str);
    connected = HandleJob(jobKey, moved.str, triedFingerprint_, true);
  }
  // Popped already: served even when the job's removal failed.
  if (!notifyKey.empty()) TakeNotifyReply(replies[0]);
  return connected;
}

bool NetMgr::FetchJobWithBlpop(const std::string& jobKey, const std::string& notifyKey) {
  std::vector<std::string> keys;
  if (!jobKey.empty()) keys.push_back(jobKey);
  if (!notifyKey.empty()) keys.push_back(notifyKey);
  std::pair<std::string, std::string> popped;
  if (!redis_->BLPOP(keys, timings_.blpopTimeoutSeconds, popped)) return false;
  if (redis_->LastReplyWasError()) {
    Log(LOG_ERROR, "redis BLPOP 错误：%s", LogExcerpt(redis_->GetErrorText()).c_str());
    WaitOrStop(timings_.retryWaitMs);
    return true;
  }
  if (!jobKey.empty() && popped.first == jobKey) return HandleJob(jobKey, popped.second, 0, false);
  if (!notifyKey.empty() && popped.first == notifyKey) {
    RedisReply element;
    element.type = RedisReply::kString;
    element.str = std::move(popped.second);
    TakeNotifyReply(element);
  }
  return true;
}

bool NetMgr::HandleJob(const std::string& jobKey, const std::string& job, size_t fingerprint, bool inProcessingList) {
  Log(LOG_INFO, "redis 数据获取");
  HeldPrintJob waiting;
  RawPrintTry how;
  how.stop = [this] { return stopRequested_.load(); };
  const bool done = DataMgr::GetInstance().ProcessPrintJob(job, &waiting, how);
  Log(LOG_INFO, "小票数据获取成功：%s\n", LogExcerpt(job).c_str());
  if (!done) {
    // The printer is not there: the job waits at the head, and so does
    // every job behind it.
    held_ = HeldJob{std::move(waiting), fingerprint, inProcessingList, jobKey, clock_->TickCount()};
    if (!stopRequested_) {
      const PrinterSettings settings = GetPrinterSettings();
      Log(LOG_WARNING, "cloud job %s waits for the printer: one try every %d ms, for up to %d s",
          LogExcerpt(held_->job.jobId, 64).c_str(), settings.holdRetryMs, settings.holdSeconds);
    }
    return true;
  }
  return inProcessingList ? RemoveHead(jobKey, fingerprint) : true;
}

bool NetMgr::HoldPass(const std::string& jobKey, const std::string& notifyKey) {
  (void)jobKey;  // a held job keeps the key it came from
  if (!ServeNotify(notifyKey)) return false;
  const PrinterSettings settings = GetPrinterSettings();
  WaitOrStop(settings.holdRetryMs);
  if (stopRequested_) return true;

  RawPrintTry how;
  how.openAttempts = 1;
  how.quiet = true;
  how.stop = [this] { return stopRequested_.load(); };
  DataMgr& data = DataMgr::GetInstance();
  bool done = data.RetryHeldJob(held_->job, how);
  if (!done) {
    const uint32_t heldMs = clock_->TickCount() - held_->sinceTick;
    if (heldMs < static_cast<uint32_t>(settings.holdSeconds) * 1000u) return true;
    data.DropHeldJob(held_->job, static_cast<int32_t>(heldMs / 1000));
  }
  const HeldJob finished = std::move(*held_);
  held_.reset();
  return finished.inProcessingList ? RemoveHead(finished.jobKey, finished.fingerprint) : true;
}

bool NetMgr::RemoveHead(const std::string& jobKey, size_t fingerprint) {
  std::vector<RedisReply> replies;
  // MULTI: the job and its tries go together or not at all.
  if (!redis_->Pipeline({{"MULTI"}, {"LPOP", ProcessingKey(jobKey)}, {"DEL", TriesKey(jobKey)}, {"EXEC"}}, &replies)) {
    unremovedFingerprint_ = fingerprint;
    return false;
  }
  if (replies[3].type != RedisReply::kArray) {
    Log(LOG_ERROR, "redis LPOP %s 错误：%s", ProcessingKey(jobKey).c_str(), LogExcerpt(replies[3].str).c_str());
  }
  unremovedFingerprint_ = 0;
  triedFingerprint_ = 0;
  return true;
}

bool NetMgr::MoveHeadToDead(const std::string& jobKey, const std::string& job, long long tries) {
  Log(LOG_ERROR, "cloud job %s moved to %s: it was tried %lld times and never finished",
      LogExcerpt(JobIdOf(job), 64).c_str(), DeadKey(jobKey).c_str(), tries);
  std::vector<RedisReply> replies;
  // Counted again if the move does not get through.
  triedFingerprint_ = 0;
  return redis_->Pipeline({{"MULTI"},
                           {"LPOP", ProcessingKey(jobKey)},
                           {"RPUSH", DeadKey(jobKey), job},
                           {"DEL", TriesKey(jobKey)},
                           {"EXEC"}},
                          &replies);
}

bool NetMgr::ServeNotify(const std::string& notifyKey) {
  if (notifyKey.empty()) return true;
  RedisReply element;
  if (!redis_->Command({"LPOP", notifyKey}, &element)) return false;
  TakeNotifyReply(element);
  return true;
}

void NetMgr::TakeNotifyReply(const RedisReply& reply) {
  if (reply.type == RedisReply::kString) {
    Log(LOG_INFO, "redis 数据获取");
    Log(LOG_INFO, "追打小票数据更改：%s\n", LogExcerpt(reply.str).c_str());
    // Stopping: the next start fetches the connection anyway, and a slow
    // cloud must not hold the shutdown.
    if (!stopRequested_) CreateConnection();
  } else if (reply.type == RedisReply::kError && !notifyErrorLogged_) {
    // Asked every pass: once per connection is enough to say it.
    Log(LOG_ERROR, "redis LPOP 错误：%s", LogExcerpt(reply.str).c_str());
    notifyErrorLogged_ = true;
  }
}

void NetMgr::ReturnUnfinishedTry() {
  if (!held_ || !held_->inProcessingList || !redis_ || !redis_->IsConnected()) return;
  // Stopped while it waited: that was no try that failed.
  RedisReply reply;
  redis_->Command({"DECR", TriesKey(held_->jobKey)}, &reply);
}

}  // namespace tillcast
