#include "net/redis_conn.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include "platform/socket_util.h"

#include <memory>

#include "base/log.h"
#include "base/text_util.h"

namespace tillcast {

const char* const RedisErrorText[7] = {"No error.",
                                       "NULL pointer ",
                                       "No connection to the redis server.",
                                       "Inser Error,pivot not found.",
                                       "key not found",
                                       "hash field not found",
                                       "error index"};

namespace {

constexpr uint32_t kConnectThrottleMs = 4000;
// A BLPOP whose answer is this much overdue has lost its server (a dropped
// route sends no reset); without a limit the thread would wait for ever.
constexpr int kCommandGraceSeconds = 10;

struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

void CopyReply(const redisReply* r, RedisReply* out) {
  *out = RedisReply();
  switch (r->type) {
    case REDIS_REPLY_STRING: out->type = RedisReply::kString; break;
    case REDIS_REPLY_STATUS: out->type = RedisReply::kStatus; break;
    case REDIS_REPLY_ERROR: out->type = RedisReply::kError; break;
    case REDIS_REPLY_INTEGER:
      out->type = RedisReply::kInteger;
      out->integer = r->integer;
      return;
    case REDIS_REPLY_NIL: out->type = RedisReply::kNil; return;
    case REDIS_REPLY_ARRAY:
      out->type = RedisReply::kArray;
      out->elements.resize(r->elements);
      for (size_t i = 0; i < r->elements; ++i) CopyReply(r->element[i], &out->elements[i]);
      return;
    default: out->type = RedisReply::kOther; return;
  }
  if (r->str != nullptr) out->str.assign(r->str, r->len);
}

// Arguments as hiredis takes them, each sent whole: a key from the cloud is
// never parsed as a format or split at a blank.
struct Argv {
  explicit Argv(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
      ptrs.push_back(a.data());
      lens.push_back(a.size());
    }
  }
  int count() const { return static_cast<int>(ptrs.size()); }
  std::vector<const char*> ptrs;
  std::vector<size_t> lens;
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
  // An open connection is the common case, once per pass of the job loop:
  // not worth a line each time.
  if (context_ != nullptr) return true;
  Log(LOG_INFO, "CRedisConn::TryConnect");
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
    context_.reset(redisConnectWithTimeout(host_.c_str(), port_, tv));
  } else {
    context_.reset(redisConnect(host_.c_str(), port_));
  }
  if (context_ != nullptr && context_->err != 0) context_.reset();
  if (context_ != nullptr) {
    // The connect timeout covers only the connect: AUTH and SELECT get a
    // limit too, so a server that accepts and never answers cannot hold
    // the network thread. BLPOP sets its own limit.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout_ != 0 ? timeout_ : kCommandGraceSeconds);
    redisSetTimeout(context_.get(), limit);
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
  void* reply = redisCommand(context_.get(), "AUTH %s", password.c_str());
  const bool failed = CheckReplyError(reply);
  if (reply != nullptr) freeReplyObject(reply);
  return !failed;
}

bool CRedisConn::Select(int32_t index) {
  if (context_ == nullptr) {
    lastError_ = RedisErrorText[1];
    return false;
  }
  void* reply = redisCommand(context_.get(), "SELECT %d", index);
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

void CRedisConn::SetCommandLimit(long seconds) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds);
  redisSetTimeout(context_.get(), limit);
}

void* CRedisConn::Blocking(const std::vector<std::string>& args, int32_t timeout) {
  SetCommandLimit(static_cast<long>(timeout) + kCommandGraceSeconds);
  {
    std::lock_guard<std::mutex> l(fdLock_);
    blocking_ = true;
  }
  Argv argv(args);
  void* reply = redisCommandArgv(context_.get(), argv.count(), argv.ptrs.data(), argv.lens.data());
  {
    std::lock_guard<std::mutex> l(fdLock_);
    blocking_ = false;
  }
  if (reply == nullptr) {
    Log(LOG_ERROR, "redisCommand failed:%s", context_->errstr);
    Close();
    return nullptr;
  }
  SetCommandLimit(timeout_ != 0 ? static_cast<long>(timeout_) : kCommandGraceSeconds);
  return reply;
}

bool CRedisConn::BLPOP(const std::vector<std::string>& keys, int32_t timeout,
                       std::pair<std::string, std::string>& out) {
  lastReplyError_ = false;
  if (!TryConnect() || keys.empty()) {
    Log(LOG_INFO, "CRedisConn 1");
    return false;
  }
  std::vector<std::string> args = {"BLPOP"};
  for (const std::string& key : keys) {
    if (!key.empty()) args.push_back(key);
  }
  if (args.size() == 1) return false;
  args.push_back(std::to_string(timeout));
  ReplyPtr reply(static_cast<redisReply*>(Blocking(args, timeout)));
  // Logged only when something came or went wrong: an empty wait every few
  // seconds would fill the log with nothing.
  if (!reply || reply->type != REDIS_REPLY_NIL) Log(LOG_INFO, "CRedisConn 1");
  if (!reply) return false;
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

bool CRedisConn::BLMOVE(const std::string& source, const std::string& destination, int32_t timeout, RedisReply* out) {
  lastReplyError_ = false;
  if (context_ == nullptr) return false;
  ReplyPtr reply(static_cast<redisReply*>(
      Blocking({"BLMOVE", source, destination, "LEFT", "RIGHT", std::to_string(timeout)}, timeout)));
  if (!reply) return false;
  CopyReply(reply.get(), out);
  if (out->type == RedisReply::kError) {
    lastReplyError_ = true;
    lastError_ = out->str;
  }
  return true;
}

bool CRedisConn::Pipeline(const std::vector<std::vector<std::string>>& commands, std::vector<RedisReply>* replies) {
  replies->clear();
  if (context_ == nullptr) return false;
  for (const std::vector<std::string>& args : commands) {
    Argv argv(args);
    if (redisAppendCommandArgv(context_.get(), argv.count(), argv.ptrs.data(), argv.lens.data()) != REDIS_OK) {
      Log(LOG_ERROR, "redisCommand failed:%s", context_->errstr);
      Close();
      return false;
    }
  }
  replies->resize(commands.size());
  for (RedisReply& out : *replies) {
    void* raw = nullptr;
    if (redisGetReply(context_.get(), &raw) != REDIS_OK || raw == nullptr) {
      Log(LOG_ERROR, "redisCommand failed:%s", context_->errstr);
      Close();
      replies->clear();
      return false;
    }
    ReplyPtr reply(static_cast<redisReply*>(raw));
    CopyReply(reply.get(), &out);
  }
  return true;
}

bool CRedisConn::Command(const std::vector<std::string>& args, RedisReply* reply) {
  std::vector<RedisReply> replies;
  if (!Pipeline({args}, &replies)) return false;
  *reply = std::move(replies[0]);
  return true;
}

void CRedisConn::ContextFree::operator()(redisContext* context) const { redisFree(context); }

void CRedisConn::Close() {
  {
    std::lock_guard<std::mutex> l(fdLock_);
    fd_ = -1;
  }
  context_.reset();
  connected_ = false;
}

void CRedisConn::Interrupt() {
  std::lock_guard<std::mutex> l(fdLock_);
  if (blocking_) platform::ShutdownSocket(fd_);
}

}  // namespace tillcast
