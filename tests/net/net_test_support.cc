#include "net_test_support.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
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

RedisServer::RedisServer(const std::string& password, std::vector<std::string> extra)
    : password_(password), extra_(std::move(extra)), port_(FreeLoopbackPort()) {
  Start();
}

RedisServer::~RedisServer() { Kill(); }

bool RedisServer::Start() {
  std::vector<std::string> argv = {"/usr/bin/redis-server",
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   "no",
                                   "--dir",
                                   dir_.path()};
  if (!password_.empty()) {
    argv.push_back("--requirepass");
    argv.push_back(password_);
  }
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  proc_ = std::make_unique<Subprocess>(argv, std::map<std::string, std::string>{}, dir_.Sub("redis.log"));
  return WaitUntil([this] { return Command(0, {"PING"}) == "PONG"; }, 10000);
}

void RedisServer::Kill() {
  if (!proc_) return;
  proc_->Signal(SIGKILL);
  proc_->Wait(5000);
  proc_.reset();
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

TinyProxy::TinyProxy() : port_(FreeLoopbackPort()) {
  WriteFile(dir_.Sub("tinyproxy.conf"), "Port " + std::to_string(port_) +
                                            "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
                                            "LogLevel Info\nLogFile \"" +
                                            dir_.Sub("tinyproxy.log") + "\"\n");
  proc_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir_.Sub("tinyproxy.conf")},
      std::map<std::string, std::string>{}, dir_.Sub("tinyproxy.out"));
  WaitUntil(
      [this] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        return up;
      },
      10000);
}

TinyProxy::~TinyProxy() {
  proc_->Signal(SIGTERM);
  if (!proc_->Wait(3000)) proc_->Signal(SIGKILL);
  proc_->Wait(3000);
}

CloudSim::CloudSim(const RedisServer& redis, int db)
    : redis_port_(redis.port()), redis_password_(redis.password()), db_(db) {
  Start();
}

CloudSim::~CloudSim() { Stop(); }

void CloudSim::Start() {
  const std::string portFile = dir_.Sub("port");
  ::unlink(portFile.c_str());
  port_ = -1;
  proc_ = std::make_unique<Subprocess>(
      std::vector<std::string>{BinDir() + "/tillcast-cloudsim", "--http-port", "0", "--port-file", portFile,
                               "--redis-port", std::to_string(redis_port_), "--redis-password", redis_password_,
                               "--redis-db", std::to_string(db_), "--uploads", uploads(), "--log", dir_.Sub("sim.log")},
      std::map<std::string, std::string>{});
  if (WaitUntil([&] { return FileExists(portFile); }, 10000)) port_ = std::atoi(ReadFile(portFile).c_str());
}

void CloudSim::Stop() {
  if (!proc_) return;
  proc_->Signal(SIGTERM);
  if (!proc_->Wait(5000)) proc_->Signal(SIGKILL);
  proc_->Wait(5000);
  proc_.reset();
}

bool CloudSim::Restart() {
  Stop();
  Start();
  return ok();
}

RawServer::RawServer(std::string reply) : reply_(std::move(reply)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listenFd_, 16);
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
  stop_ = true;
  thread_.join();
  for (const int fd : open_) close(fd);
  close(listenFd_);
}

std::vector<std::string> RawServer::Requests() const {
  std::lock_guard<std::mutex> l(lock_);
  return requests_;
}

void RawServer::Serve() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    // Read the head and a body of Content-Length bytes (bounded wait).
    std::string request;
    for (int rounds = 0; rounds < 40; ++rounds) {
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, 50) <= 0) {
        if (request.find("\r\n\r\n") != std::string::npos) break;
        continue;
      }
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
      const size_t head = request.find("\r\n\r\n");
      if (head == std::string::npos) continue;
      size_t length = 0;
      const size_t cl = request.find("Content-Length: ");
      if (cl != std::string::npos && cl < head) length = std::strtoul(request.c_str() + cl + 16, nullptr, 10);
      if (request.size() >= head + 4 + length) break;
    }
    {
      std::lock_guard<std::mutex> l(lock_);
      requests_.push_back(request);
    }
    if (reply_.empty()) {
      open_.push_back(fd);  // never answered; closed at the end
      continue;
    }
    (void)!write(fd, reply_.data(), reply_.size());
    close(fd);
  }
}

std::string RunAndCapture(const std::vector<std::string>& argv) {
  TempDir dir;
  const std::string out = dir.Sub("out");
  Subprocess p(argv, {}, out);
  if (!p.Wait(20000)) return "";
  return ReadFile(out);
}

}  // namespace tillcast::test
