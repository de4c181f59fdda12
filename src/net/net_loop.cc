// The network thread of NetMgr: BLPOP over the device's job and notify
// lists, one element at a time, reconnecting for ever until Stop.
#include <cctype>
#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/process_settings.h"
#include "data/data_mgr.h"
#include "net/net_mgr.h"

namespace tillcast {

namespace {

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
    // A BLPOP in progress would hold the thread for up to its timeout.
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

bool NetMgr::ConnectRedis() {
  DataMgr& data = DataMgr::GetInstance();
  const ProcessSettings& settings = GetProcessSettings();
  std::string host = data.GetBindInfo("RedisHost");
  std::string portText = data.GetBindInfo("RedisPort");
  if (!settings.redisIp.empty()) host = settings.redisIp;
  if (!settings.redisPort.empty()) portText = settings.redisPort;
  if (portText.empty()) {
    Log(LOG_ERROR, "连接redis失败，port为空");
    return false;
  }
  int32_t port = 0;
  if (!LeadingNumber(portText, 65535, &port) || port == 0) {
    Log(LOG_ERROR, "连接redis失败，port无效:%s", portText.c_str());
    return false;
  }
  const std::string dbText = data.GetBindInfo("RedisDataBase");
  if (dbText.empty()) return false;
  int32_t index = 0;
  if (!LeadingNumber(dbText, INT32_MAX, &index)) {
    Log(LOG_ERROR, "连接redis失败，database无效:%s", dbText.c_str());
    return false;
  }
  const std::string password = data.GetBindInfo("RedisPsw");
  if (host.empty()) {
    Log(LOG_ERROR, "连接redis失败，host空\n");
    return false;
  }
  {
    std::lock_guard<std::mutex> l(redisLock_);
    redis_ = std::make_unique<CRedisConn>(clock_);
  }
  if (stopRequested_) return false;
  if (redis_->Connect(host, port, password, index, timings_.connectTimeoutSeconds)) return true;
  Log(LOG_ERROR, "连接redis失败 %s", redis_->GetErrorText().c_str());
  return false;
}

bool NetMgr::RedisGetData() {
  DataMgr& data = DataMgr::GetInstance();
  const std::string jobKey = data.GetBindInfo("RedisKey");
  const std::string notifyKey = data.GetBindInfo("RedisConfigNotifyKey");
  std::vector<std::string> keys;
  if (!jobKey.empty()) keys.push_back(jobKey);
  if (!notifyKey.empty()) keys.push_back(notifyKey);
  noKeys_ = keys.empty();
  if (keys.empty() || !redis_) return false;
  Log(LOG_INFO, "redis 数据获取");
  if (!redis_->IsConnected()) return false;

  std::pair<std::string, std::string> popped;
  if (!redis_->BLPOP(keys, timings_.blpopTimeoutSeconds, popped)) {
    // The connection is closed now; the next pass reconnects.
    WaitOrStop(timings_.lostPauseMs);
    return true;
  }
  if (redis_->LastReplyWasError()) {
    // A key of another type is answered at once, every time: wait as after
    // a failed connection instead of asking again at full speed.
    Log(LOG_ERROR, "redis BLPOP 错误：%s", redis_->GetErrorText().c_str());
    WaitOrStop(timings_.retryWaitMs);
    return true;
  }
  if (!jobKey.empty() && popped.first == jobKey) {
    data.ProcessPrintJob(popped.second);
    Log(LOG_INFO, "小票数据获取成功：%s\n", popped.second.c_str());
  } else if (!notifyKey.empty() && popped.first == notifyKey) {
    Log(LOG_INFO, "追打小票数据更改：%s\n", popped.second.c_str());
    CreateConnection();
  }
  return true;
}

}  // namespace tillcast
