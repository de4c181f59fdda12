#include "net/redis_conn.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include "platform/socket_util.h"

#include <memory>

#include "app/log.h"
#include "app/text_util.h"

namespace tillcast {

const char* const RedisErrorText[7] = {
    "No error.", "NULL pointer ", "No connection to the redis server.", "Inser Error,pivot not found.",
    "key not found", "hash field not found", "error index"};

namespace {

constexpr uint32_t kConnectThrottleMs = 4000;
// A BLPOP whose answer is this much overdue has lost its server (a dropped
// route sends no reset); without a limit the thread would wait for ever.
constexpr int kCommandGraceSeconds = 10;

struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};

}  // namespace

CRedisConn::CRedisConn(platform::Clock* clock) : clock_(clock != nullptr ? clock : platform::SystemClock()) {}

CRedisConn::~CRedisConn() { Close(); }

bool CRedisConn::Connect(const std::string& host, int32_t port, const std::string& password, int32_t dbIndex,
                         uint32_t timeout) {
  SetParams(host, port, password, dbIndex, timeout);
  return TryConnect();
}

void CRedisConn::SetParams(const std::string& host, int32_t port, const std::string& password, int32_t dbIndex,
                           uint32_t timeout) {
  Log(LOG_INFO, "ip=%s, port=%d, pwd=%s, dbindex=%d", host.c_str(), port, MaskSecret(password).c_str(), dbIndex);
  host_ = host;
  port_ = port;
  password_ = password;
  dbIndex_ = dbIndex;
  timeout_ = timeout;
}

bool CRedisConn::TryConnect() {
  Log(LOG_INFO, "CRedisConn::TryConnect");
  if (context_ != nullptr) return true;
  // Measured on the monotonic clock: a wall clock set back would otherwise
  // block reconnecting for as long as it was set back.
  const uint32_t now = clock_->TickCount();
  if (attempted_ && now - lastAttemptTick_ < kConnectThrottleMs) {
    Log(LOG_INFO, "CRedisConn::TryConnect after 4s");
    return false;
  }
  attempted_ = true;
  lastAttemptTick_ = now;
  connected_ = false;
  if (host_.empty()) return false;

  if (timeout_ != 0) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout_);
    context_ = redisConnectWithTimeout(host_.c_str(), port_, tv);
  } else {
    context_ = redisConnect(host_.c_str(), port_);
  }
  if (context_ != nullptr && context_->err != 0) {
    redisFree(context_);
    context_ = nullptr;
  }
  if (context_ != nullptr) {
    // The connect timeout covers only the connect: AUTH and SELECT get a
    // limit too, so a server that accepts and never answers cannot hold
    // the network thread. BLPOP sets its own limit.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout_ != 0 ? timeout_ : kCommandGraceSeconds);
    redisSetTimeout(context_, limit);
    std::lock_guard<std::mutex> l(fdLock_);
    fd_ = context_->fd;
  }
  if (context_ == nullptr) {
    Log(LOG_INFO, "CRedisConn::TryConnect %s:%d  timeout=%d m_redisCtx=NULL", host_.c_str(), port_,
        static_cast<int>(timeout_));
    connected_ = false;
    return false;
  }
  if (!password_.empty() && !auth(password_)) {
    Log(LOG_INFO, "CRedisConn::TryConnect auth failed");
    Close();
    return false;
  }
  if (!Select(dbIndex_)) {
    Log(LOG_INFO, "CRedisConn::TryConnect select failed");
    Close();
    return false;
  }
  connected_ = true;
  Log(LOG_INFO, "CRedisConn::TryConnect true");
  return true;
}

bool CRedisConn::auth(const std::string& password) {
  Log(LOG_INFO, "CRedisConn::auth");
  if (context_ == nullptr) {
    lastError_ = RedisErrorText[1];
    return false;
  }
  void* reply = redisCommand(context_, "AUTH %s", password.c_str());
  const bool failed = CheckReplyError(reply);
  if (reply != nullptr) freeReplyObject(reply);
  return !failed;
}

bool CRedisConn::Select(int32_t index) {
  if (context_ == nullptr) {
    lastError_ = RedisErrorText[1];
    return false;
  }
  void* reply = redisCommand(context_, "SELECT %d", index);
  const bool failed = CheckReplyError(reply);
  if (reply != nullptr) freeReplyObject(reply);
  return !failed;
}

bool CRedisConn::CheckReplyError(void* replyPtr) {
  lastError_ = RedisErrorText[0];
  if (replyPtr == nullptr) {
    lastError_ = RedisErrorText[1];
    return true;
  }
  auto* reply = static_cast<redisReply*>(replyPtr);
  if (reply->type != REDIS_REPLY_ERROR) return false;
  lastError_.assign(reply->str != nullptr ? reply->str : "", reply->str != nullptr ? reply->len : 0);
  Close();
  return true;
}

bool CRedisConn::BLPOP(const std::vector<std::string>& keys, int32_t timeout,
                       std::pair<std::string, std::string>& out) {
  Log(LOG_INFO, "CRedisConn 1");
  lastReplyError_ = false;
  if (!TryConnect() || keys.empty()) return false;
  bool anyKey = false;
  for (const std::string& key : keys) anyKey = anyKey || !key.empty();
  if (!anyKey) return false;

  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout) + kCommandGraceSeconds;
  redisSetTimeout(context_, limit);
  // Each key goes as its own argument: a key from the cloud is never parsed
  // as a format or split at a blank.
  std::vector<std::string> args;
  args.reserve(keys.size() + 2);
  args.emplace_back("BLPOP");
  for (const std::string& key : keys) {
    if (!key.empty()) args.push_back(key);
  }
  args.push_back(std::to_string(timeout));
  std::vector<const char*> argv;
  std::vector<size_t> argl;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    argl.push_back(a.size());
  }
  std::unique_ptr<redisReply, ReplyFree> reply(
      static_cast<redisReply*>(redisCommandArgv(context_, static_cast<int>(argv.size()), argv.data(), argl.data())));
  if (!reply) {
    Log(LOG_ERROR, "redisCommand failed:%s", context_->errstr);
    Close();
    return false;
  }
  if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 && reply->element[0]->type == REDIS_REPLY_STRING &&
      reply->element[1]->type == REDIS_REPLY_STRING) {
    out.first.assign(reply->element[0]->str, reply->element[0]->len);
    out.second.assign(reply->element[1]->str, reply->element[1]->len);
  } else if (reply->type == REDIS_REPLY_ERROR) {
    lastReplyError_ = true;
    lastError_.assign(reply->str != nullptr ? reply->str : "", reply->str != nullptr ? reply->len : 0);
  }
  return true;
}

void CRedisConn::Close() {
  {
    std::lock_guard<std::mutex> l(fdLock_);
    fd_ = -1;
  }
  if (context_ != nullptr) redisFree(context_);
  context_ = nullptr;
  connected_ = false;
}

void CRedisConn::Interrupt() {
  std::lock_guard<std::mutex> l(fdLock_);
  platform::ShutdownSocket(fd_);
}

}  // namespace tillcast
