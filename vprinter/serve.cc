#include "serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output.h"
#include "platform/scoped_fd.h"
#include "platform/terminate_signals.h"
#include "session.h"

namespace vprinter {
namespace {

using tillcast::platform::ScopedFd;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Error(const std::string& text) { std::fprintf(stderr, "tillcast-vprinter: %s\n", text.c_str()); }
std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Answers to status requests; a peer that does not read them loses them
// rather than stalling the printer.
void WriteReply(int fd, const uint8_t* data, size_t size) {
  if (fd < 0) return;
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// SIGTERM and SIGINT end the loop through the platform's signal pipe; the
// default actions come back when serving ends. A peer that hangs up must
// not kill the printer with SIGPIPE.
class SignalWatch {
 public:
  SignalWatch() : fd_(tillcast::platform::WatchTerminateSignals()) { signal(SIGPIPE, SIG_IGN); }
  ~SignalWatch() { tillcast::platform::RestoreTerminateSignals(); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

class Server {
 public:
  explicit Server(const ServeOptions& options) : options_(options) {}
  ~Server() {
    if (!link_.empty()) unlink(link_.c_str());
  }

  int Run() {
    std::string error;
    if (!out_.Open(options_.out_dir, options_.paper, &error)) {
      Error(error);
      return 1;
    }
    glyphs_ = GlyphSource::Open(&error);
    if (!glyphs_) {
      Error(error);
      return 1;
    }
    Session::Options so;
    so.printable = options_.paper.printable;
    so.chinese_default = options_.chinese_default;
    so.quiet_ms = options_.quiet_ms;
    session_ = std::make_unique<Session>(glyphs_.get(), so, [this](Document&& doc) { Emit(doc); });
    signals_ = std::make_unique<SignalWatch>();
    if (signals_->fd() < 0) {
      Error(Errno("signal pipe"));
      return 1;
    }
    bool ok = false;
    switch (options_.source) {
      case ServeOptions::Source::kPty: ok = OpenPty(); break;
      case ServeOptions::Source::kTcp: ok = OpenTcp(); break;
      case ServeOptions::Source::kInput: ok = OpenInput(); break;
    }
    if (!ok) return 1;
    const int rc = Loop();
    session_->Finish();
    std::printf("stopped after %d documents\n", documents_);
    std::fflush(stdout);
    return rc == 0 && write_failed_ ? 1 : rc;
  }

 private:
  void Emit(const Document& doc) {
    std::string base, error;
    if (!out_.Write(doc, &base, &error)) {
      Error("cannot write a document: " + error);
      write_failed_ = true;
      return;
    }
    ++documents_;
    std::printf("document %s: %s\n", base.c_str(), doc.Summary().c_str());
    std::fflush(stdout);
  }

  bool OpenPty() {
    ScopedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
      Error(Errno("pseudo-terminal"));
      return false;
    }
    const char* name = ptsname(master.get());
    if (name == nullptr) {
      Error(Errno("pseudo-terminal name"));
      return false;
    }
    const std::string slave_path = name;
    // We hold the slave open ourselves so that writers may come and go
    // without the master reporting a hang-up.
    ScopedFd slave(open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) {
      Error(Errno(slave_path));
      return false;
    }
    termios tio{};
    if (tcgetattr(slave.get(), &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave.get(), TCSANOW, &tio);
    }
    SetNonBlocking(master.get());
    if (!options_.pty_link.empty() && options_.pty_link != "-") {
      struct stat st {};
      if (lstat(options_.pty_link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
          Error(options_.pty_link + ": exists and is not a symbolic link; not replacing it");
          return false;
        }
        unlink(options_.pty_link.c_str());
      }
      if (symlink(slave_path.c_str(), options_.pty_link.c_str()) != 0) {
        Error(Errno(options_.pty_link));
        return false;
      }
      link_ = options_.pty_link;
    }
    input_ = std::move(master);
    keep_ = std::move(slave);
    reply_fd_ = input_.get();
    session_->SetReply([this](const uint8_t* d, size_t n) { WriteReply(reply_fd_, d, n); });
    std::printf("listening on pty %s%s%s\n", slave_path.c_str(), link_.empty() ? "" : " link ", link_.c_str());
    std::fflush(stdout);
    return true;
  }

  bool OpenTcp() {
    in_addr addr{};
    if (inet_pton(AF_INET, options_.bind.c_str(), &addr) != 1) {
      Error("--bind " + options_.bind + ": not an IPv4 address");
      return false;
    }
    ScopedFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
      Error(Errno("socket"));
      return false;
    }
    const int one = 1;
    setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(options_.tcp_port));
    sa.sin_addr = addr;
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(sock.get(), 8) != 0) {
      Error(Errno("tcp " + options_.bind + ":" + std::to_string(options_.tcp_port)));
      return false;
    }
    socklen_t len = sizeof(sa);
    getsockname(sock.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    listener_ = std::move(sock);
    session_->SetReply([this](const uint8_t* d, size_t n) { WriteReply(reply_fd_, d, n); });
    std::printf("listening on tcp %s:%d\n", options_.bind.c_str(), ntohs(sa.sin_port));
    std::fflush(stdout);
    return true;
  }

  bool OpenInput() {
    if (options_.input == "-") {
      input_ = ScopedFd(dup(STDIN_FILENO));
      ends_ = true;
      std::printf("reading stdin\n");
      std::fflush(stdout);
      return input_.valid();
    }
    struct stat st {};
    if (stat(options_.input.c_str(), &st) != 0) {
      Error(Errno(options_.input));
      return false;
    }
    if (S_ISFIFO(st.st_mode)) {
      input_ = ScopedFd(open(options_.input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      // Our own writer keeps the pipe open between senders.
      keep_ = ScopedFd(open(options_.input.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    } else if (S_ISCHR(st.st_mode)) {
      input_ = ScopedFd(open(options_.input.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      reply_fd_ = input_.get();
      session_->SetReply([this](const uint8_t* d, size_t n) { WriteReply(reply_fd_, d, n); });
    } else if (S_ISREG(st.st_mode)) {
      input_ = ScopedFd(open(options_.input.c_str(), O_RDONLY | O_CLOEXEC));
      ends_ = true;
    } else {
      Error(options_.input + ": not a file, pipe or character device");
      return false;
    }
    if (!input_.valid()) {
      Error(Errno(options_.input));
      return false;
    }
    std::printf("reading %s\n", options_.input.c_str());
    std::fflush(stdout);
    return true;
  }

  // Reads what `fd` has; false at its end.
  bool ReadFrom(int fd) {
    uint8_t buf[65536];
    for (int rounds = 0; rounds < 16; ++rounds) {
      // Standard input may be a blocking descriptor shared with the parent:
      // read only what is there, so quiet time and signals still come round.
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 0) <= 0) return true;
      const ssize_t n = read(fd, buf, sizeof(buf));
      if (n > 0) {
        session_->Feed(buf, static_cast<size_t>(n), NowMs());
        continue;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EIO) return true;  // a terminal between writers
      Error(Errno("read"));
      return false;
    }
    return true;
  }

  int Loop() {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({signals_->fd(), POLLIN, 0});
      int data_fd = client_.valid() ? client_.get() : input_.get();
      if (data_fd >= 0) fds.push_back({data_fd, POLLIN, 0});
      const bool accepting = listener_.valid() && !client_.valid();
      if (accepting) fds.push_back({listener_.get(), POLLIN, 0});
      int timeout = -1;
      const int64_t deadline = session_->NextDeadline();
      if (deadline >= 0) timeout = static_cast<int>(std::max<int64_t>(0, deadline - NowMs()));
      const int r = poll(fds.data(), fds.size(), timeout);
      if (r < 0 && errno != EINTR) {
        Error(Errno("poll"));
        return 1;
      }
      if (r > 0 && fds[0].revents) {
        // Stopping: take what is already there, then close the document.
        if (data_fd >= 0) ReadFrom(data_fd);
        return 0;
      }
      if (r > 0) {
        for (size_t i = 1; i < fds.size(); ++i) {
          if (fds[i].revents == 0) continue;
          if (fds[i].fd == data_fd) {
            if (!ReadFrom(data_fd)) {
              if (client_.valid()) {
                // The sender hung up: its document is complete.
                client_.reset();
                reply_fd_ = -1;
                session_->Finish();
              } else if (ends_) {
                return 0;
              } else {
                // A pipe without writers would poll readable forever.
                usleep(50 * 1000);
              }
            }
          } else if (accepting && fds[i].fd == listener_.get()) {
            ScopedFd c(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (c.valid()) {
              client_ = std::move(c);
              reply_fd_ = client_.get();
            }
          }
        }
      }
      session_->Tick(NowMs());
    }
  }

  const ServeOptions& options_;
  OutputFolder out_;
  std::unique_ptr<GlyphSource> glyphs_;
  std::unique_ptr<SignalWatch> signals_;
  std::unique_ptr<Session> session_;
  ScopedFd input_, keep_, listener_, client_;
  int reply_fd_ = -1;
  bool ends_ = false;  // the input ends (file, stdin): stop at its end
  std::string link_;
  int documents_ = 0;
  bool write_failed_ = false;
};

}  // namespace

int Serve(const ServeOptions& options) {
  Server server(options);
  return server.Run();
}

}  // namespace vprinter
