#include "support/redis_server.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace tillcast::test {
namespace {

struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};
struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};

std::string ReplyText(const redisReply* r) {
  switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR: return std::string(r->str, r->len);
    case REDIS_REPLY_INTEGER: return std::to_string(r->integer);
    case REDIS_REPLY_ARRAY: {
      std::string out;
      for (size_t i = 0; i < r->elements; ++i) out += (i ? "\n" : "") + ReplyText(r->element[i]);
      return out;
    }
    default: return "";
  }
}

}  // namespace

RedisServer::RedisServer(const std::string& password, std::vector<std::string> extra, std::string folder)
    : folder_(folder.empty() ? dir_.path() : std::move(folder)),
      password_(password),
      extra_(std::move(extra)),
      port_(FreeLoopbackPort()) {
  Start();
}

RedisServer::~RedisServer() { Kill(); }

bool RedisServer::Start() {
  std::vector<std::string> argv = {"/usr/bin/redis-server",
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--protected-mode",
                                   "yes",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   "no",
                                   "--dir",
                                   folder_};
  if (!password_.empty()) {
    argv.push_back("--requirepass");
    argv.push_back(password_);
  }
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  proc_ = std::make_unique<Subprocess>(argv, std::map<std::string, std::string>{}, folder_ + "/redis.log");
  up_ = WaitUntil([this] { return Command(0, {"PING"}) == "PONG"; }, 10000);
  return up_;
}

void RedisServer::Stop() {
  if (!proc_) return;
  proc_->Signal(SIGTERM);
  if (!proc_->Wait(5000)) proc_->Signal(SIGKILL);
  proc_->Wait(5000);
  proc_.reset();
  up_ = false;
}

void RedisServer::Kill() {
  if (!proc_) return;
  proc_->Signal(SIGKILL);
  proc_->Wait(5000);
  proc_.reset();
  up_ = false;
}

std::string RedisServer::Command(int db, const std::vector<std::string>& args) const {
  timeval tv{2, 0};
  std::unique_ptr<redisContext, ContextFree> c(redisConnectWithTimeout("127.0.0.1", port_, tv));
  if (!c || c->err != 0) return "";
  redisSetTimeout(c.get(), tv);
  auto run = [&](const std::vector<std::string>& a) {
    std::vector<const char*> argv;
    std::vector<size_t> argl;
    for (const auto& s : a) {
      argv.push_back(s.data());
      argl.push_back(s.size());
    }
    std::unique_ptr<redisReply, ReplyFree> r(
        static_cast<redisReply*>(redisCommandArgv(c.get(), static_cast<int>(a.size()), argv.data(), argl.data())));
    return r ? ReplyText(r.get()) : std::string();
  };
  if (!password_.empty()) run({"AUTH", password_});
  if (db != 0) run({"SELECT", std::to_string(db)});
  return run(args);
}

long RedisServer::InfoNumber(const std::string& section, const std::string& line, const std::string& field) const {
  std::istringstream in(Command(0, {"INFO", section}));
  std::string l;
  while (std::getline(in, l)) {
    if (l.rfind(line + ":", 0) != 0) continue;
    std::string value = l.substr(line.size() + 1);
    if (!field.empty()) {
      const size_t at = value.find(field + "=");
      if (at == std::string::npos) return 0;
      value = value.substr(at + field.size() + 1);
    }
    return std::strtol(value.c_str(), nullptr, 10);
  }
  return 0;
}

}  // namespace tillcast::test
