// One synchronous hiredis connection to the Redis server that queues this
// device's print jobs: connect at most every 4 seconds, AUTH (only with a
// password), SELECT, the blocking pops (BLPOP over a list of keys, BLMOVE
// from one list to another) and plain commands, alone or pipelined.
//
// Not thread-safe: one thread (the network thread) uses an object.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"

struct redisContext;

namespace tillcast {

// Error texts indexed by error code.
extern const char* const RedisErrorText[7];

// One reply of the server, copied out of hiredis.
struct RedisReply {
  enum Type { kNil, kString, kStatus, kInteger, kArray, kError, kOther };
  Type type = kNil;
  std::string str;  // string, status and error replies
  long long integer = 0;
  std::vector<RedisReply> elements;
};

class CRedisConn {
 public:
  // `clock` (not owned, must outlive the object) measures the connect
  // throttle; the system clock when null.
  explicit CRedisConn(platform::Clock* clock = nullptr);
  virtual ~CRedisConn();
  CRedisConn(const CRedisConn&) = delete;
  CRedisConn& operator=(const CRedisConn&) = delete;

  // SetParams, then TryConnect. `timeout` is the connect timeout in seconds
  // (0 = none).
  bool Connect(const std::string& host, int32_t port, const std::string& password, int32_t dbIndex, uint32_t timeout);
  void SetParams(const std::string& host, int32_t port, const std::string& password, int32_t dbIndex, uint32_t timeout);
  // Opens, authenticates and selects; refused without network traffic
  // within 4 seconds of the previous attempt. True at once when open.
  bool TryConnect();
  bool auth(const std::string& password);
  bool Select(int32_t index);

  // BLPOP over `keys` (in order, empty ones left out) for up to `timeout`
  // seconds. True whenever the server answered; `out` is set only when an
  // element was popped. False, with the connection closed, when the server
  // did not answer.
  bool BLPOP(const std::vector<std::string>& keys, int32_t timeout, std::pair<std::string, std::string>& out);

  // BLMOVE `source` `destination` LEFT RIGHT `timeout`: the head of one list
  // becomes the tail of the other, waiting up to `timeout` seconds. True
  // when the server answered: `reply` is the moved element (kString), kNil
  // when the time ran out, or an error reply. False, with the connection
  // closed, when it did not answer.
  bool BLMOVE(const std::string& source, const std::string& destination, int32_t timeout, RedisReply* reply);

  // Sends `commands` (each its arguments, sent whole) in one round trip and
  // reads one reply each. True when all were answered (error replies are
  // answers); false, with the connection closed, when not.
  bool Pipeline(const std::vector<std::vector<std::string>>& commands, std::vector<RedisReply>* replies);
  bool Command(const std::vector<std::string>& args, RedisReply* reply);

  void Close();
  // Thread-safe: makes a blocking pop waiting in another thread return at
  // once (as a lost connection), so a stop need not wait out its timeout.
  // Other commands are left to finish: their replies are not lost.
  void Interrupt();
  bool IsConnected() const { return connected_; }
  std::string GetErrorText() const { return lastError_; }
  // True when the last BLPOP was answered with an error reply (a key of
  // another type, for example): the caller must not retry at once.
  bool LastReplyWasError() const { return lastReplyError_; }

 private:
  bool CheckReplyError(void* reply);
  // Runs a blocking command whose wait is `timeout` seconds; null when the
  // server did not answer (the connection is closed then).
  void* Blocking(const std::vector<std::string>& args, int32_t timeout);
  void SetCommandLimit(long seconds);

  // Frees a hiredis context (redisFree); the connection goes with it.
  struct ContextFree {
    void operator()(redisContext* context) const;
  };
  std::unique_ptr<redisContext, ContextFree> context_;
  // The context's socket, for Interrupt from another thread.
  std::mutex fdLock_;
  int fd_ = -1;
  bool blocking_ = false;  // a blocking pop is waiting (guarded by fdLock_)
  std::string host_;
  int32_t port_ = 0;
  std::string password_;
  int32_t dbIndex_ = -1;
  uint32_t timeout_ = 0;
  bool connected_ = false;
  std::string lastError_ = RedisErrorText[0];
  bool attempted_ = false;
  uint32_t lastAttemptTick_ = 0;
  bool lastReplyError_ = false;
  platform::Clock* clock_;
};

}  // namespace tillcast
