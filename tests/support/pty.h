// A pseudo-terminal standing in for a serial printer: the code under test
// opens slave(); the test reads what arrived on the master. The slave is
// held open here too, so the master never sees a hang-up between
// documents. Not thread-safe; one test thread uses it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/scoped_fd.h"

namespace tillcast::test {

class Pty {
 public:
  Pty() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) return;
    const char* name = ptsname(master_.get());
    if (name == nullptr) return;
    slave_path_ = name;
    keep_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    tcgetattr(keep_.get(), &t);
    cfmakeraw(&t);
    tcsetattr(keep_.get(), TCSANOW, &t);
  }
  bool ok() const { return keep_.valid(); }
  const std::string& slave() const { return slave_path_; }
  int slave_fd() const { return keep_.get(); }
  int master_fd() const { return master_.get(); }

  // What arrived, reading until `quiet_ms` pass without a byte; the first
  // byte is waited for up to `first_ms` when that is longer.
  std::string Drain(int quiet_ms = 150, int first_ms = 0) {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{master_.get(), POLLIN, 0};
      if (poll(&p, 1, out.empty() && first_ms > quiet_ms ? first_ms : quiet_ms) <= 0) break;
      const ssize_t n = read(master_.get(), buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  termios SlaveSettings() const {
    termios t{};
    tcgetattr(keep_.get(), &t);
    return t;
  }

 private:
  platform::ScopedFd master_;
  platform::ScopedFd keep_;
  std::string slave_path_;
};

}  // namespace tillcast::test
