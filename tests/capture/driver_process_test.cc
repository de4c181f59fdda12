// The driver stand-in (SerialFilter64) and the agent's watcher in separate
// processes, over the control socket and real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <thread>

#include "app/startup.h"
#include "capture/driver_device.h"
#include "capture/driver_service.h"
#include "capture/serial_watcher.h"
#include "platform/process.h"
#include "platform/scoped_fd.h"
#include "platform/service_manager.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using namespace driver;
using platform::ScopedFd;

// Reads until `want` bytes arrived or 10 s passed.
std::string ReadAll(int fd, size_t want) {
  std::string out;
  char buf[4096];
  for (int idle = 0; out.size() < want && idle < 100;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      ++idle;
      continue;
    }
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EIO) {
      // A printer pseudo-terminal whose other end is closed for now (the
      // driver is being restarted).
      ++idle;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void WriteAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

struct Collected {
  std::mutex mu;
  std::string serial, parallel;
  std::string Serial() {
    std::lock_guard<std::mutex> l(mu);
    return serial;
  }
  std::string Parallel() {
    std::lock_guard<std::mutex> l(mu);
    return parallel;
  }
};

class DriverProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = dir_.Sub("sf.sock");
    printer_master_.reset(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_TRUE(printer_master_.valid());
    ASSERT_EQ(grantpt(printer_master_.get()), 0);
    ASSERT_EQ(unlockpt(printer_master_.get()), 0);
    const std::string printer = ptsname(printer_master_.get());
    test::WriteFile(dir_.Sub("sf.conf"), "socket " + socket_ + "\nserial 1 " + dir_.Sub("COM1") + " " + printer +
                                             " 9600\nparallel 1 " + dir_.Sub("LPT1") + "\n");
  }
  void TearDown() override {
    watcher_.reset();
    if (daemon_) {
      daemon_->Signal(SIGTERM);  // a clean stop: its port keeper goes too
      daemon_->Wait(5000);
    }
    daemon_.reset();
    printer_master_.reset();
    EXPECT_TRUE(test::WaitUntil([&] { return test::ProcessesMentioning(dir_.path()).empty(); }, 5000))
        << "processes left behind";
  }
  void StartDaemon() {
    daemon_ = std::make_unique<test::Subprocess>(
        std::vector<std::string>{test::BinDir() + "/SerialFilter64", "-c", dir_.Sub("sf.conf"), "--test-hooks"},
        std::map<std::string, std::string>{}, dir_.Sub("sf.log"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(socket_) && test::FileExists(dir_.Sub("LPT1")); }, 10000))
        << test::ReadFile(dir_.Sub("sf.log"));
  }
  void MakeWatcher() {
    auto timers = std::make_unique<capture::ManualTimerService>();
    timers_ = timers.get();
    watcher_ =
        std::make_unique<SerialWatcher>(std::make_unique<capture::UnixSocketDriverDevice>(socket_), std::move(timers));
    watcher_->SetSerialDataCallback([this](uint32_t, const uint8_t* d, uint32_t n) {
      std::lock_guard<std::mutex> l(got_.mu);
      got_.serial.append(reinterpret_cast<const char*>(d), n);
    });
    watcher_->SetParallelDataCallback([this](uint32_t, const uint8_t* d, uint32_t n) {
      std::lock_guard<std::mutex> l(got_.mu);
      got_.parallel.append(reinterpret_cast<const char*>(d), n);
    });
  }
  void Register() {
    watcher_->RemoveAllPortMonitor();
    watcher_->AddPortMonitor(kPortSerial, -1);
    watcher_->AddPortMonitor(kPortParallel, -1);
  }
  // Queues a payload through the driver's test hook.
  bool Inject(uint32_t type, const std::string& bytes) {
    capture::UnixSocketDriverDevice dev(socket_);
    uint32_t err = 0;
    size_t returned = 0;
    std::string in;
    AppendU32(&in, type);
    AppendU32(&in, 9);
    in += bytes;
    return dev.Open(&err) && dev.Control(kIoctlTestInject, in.data(), in.size(), -1, nullptr, 0, &returned, &err);
  }

  test::TempDir dir_;
  std::string socket_;
  ScopedFd printer_master_;
  std::unique_ptr<test::Subprocess> daemon_;
  capture::ManualTimerService* timers_ = nullptr;
  Collected got_;
  std::unique_ptr<SerialWatcher> watcher_;
};

TEST_F(DriverProcess, TillBytesReachThePrinterAndTheCallbackUnchanged) {
  StartDaemon();
  MakeWatcher();
  ASSERT_TRUE(watcher_->Init([&] { Register(); }));
  ASSERT_EQ(watcher_->MonitorCount(), 2u);

  ScopedFd till(open(dir_.Sub("COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_GE(till.get(), 0);
  std::string receipt;
  for (int i = 0; i < 20000; ++i) receipt.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
  for (size_t off = 0; off < receipt.size(); off += 1500) WriteAll(till.get(), receipt.substr(off, 1500));

  EXPECT_EQ(ReadAll(printer_master_.get(), receipt.size()), receipt);
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= receipt.size(); }, 10000));
  EXPECT_EQ(got_.Serial(), receipt);

  // The printer's answers go back to the till.
  WriteAll(printer_master_.get(), "\x10\x04\x01");
  EXPECT_EQ(ReadAll(till.get(), 3), "\x10\x04\x01");

  // The parallel port is a FIFO that only captures.
  ScopedFd lpt(open(dir_.Sub("LPT1").c_str(), O_WRONLY | O_NONBLOCK));
  ASSERT_GE(lpt.get(), 0);
  WriteAll(lpt.get(), "\x1b@parallel receipt\n");
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Parallel().size() >= 19; }, 10000));
  EXPECT_EQ(got_.Parallel(), "\x1b@parallel receipt\n");
}

TEST_F(DriverProcess, DriverStartedAfterTheAgentIsReachedByTheTimer) {
  test::ScopedLog log;
  MakeWatcher();
  ASSERT_FALSE(watcher_->Init([&] { Register(); }));
  const uint32_t id = watcher_->timer_id();
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_TRUE(log.Contains("[ERROR]: Connect to driver failed:2\r\n"));
  StartDaemon();
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_EQ(timers_->ActiveCount(), 1u);  // from now on it checks the driver is still there
  EXPECT_EQ(watcher_->MonitorCount(), 2u);
  ASSERT_TRUE(Inject(kPortParallel, "late but here"));
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Parallel() == "late but here"; }, 10000)) << got_.Parallel();
}

TEST_F(DriverProcess, SameMonitorTwiceAndRemoveAllWhileTheWorkerWaits) {
  test::ScopedLog log;
  StartDaemon();
  MakeWatcher();
  ASSERT_TRUE(watcher_->Init([&] { Register(); }));
  watcher_->AddPortMonitor(kPortSerial, -1);
  size_t adds = 0;
  for (const std::string& l : test::SplitLines(log.Text()))
    adds += l.find("Dm_AddPortMonitor success") != std::string::npos;
  EXPECT_EQ(adds, 2u);

  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the worker is in its wait
  EXPECT_TRUE(watcher_->RemoveAllPortMonitor());
  EXPECT_EQ(watcher_->MonitorCount(), 0u);
  // Nothing is delivered without a monitor; what came meanwhile is kept by
  // the driver for the next registration (capture_hold), so the agent
  // re-registering loses nothing.
  ASSERT_TRUE(Inject(kPortSerial, "between registrations;"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(got_.Serial(), "");
  Register();
  ASSERT_TRUE(Inject(kPortSerial, "listening again"));
  ASSERT_TRUE(test::WaitUntil([&] { return got_.Serial().size() >= 37; }, 10000)) << got_.Serial();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(got_.Serial(), "between registrations;listening again");
}

// The driver service as the agent runs it with service records: a record
// left from before (its pid since given to another process: here this
// test's own sleep child) does not count as running, so the start loop
// starts the driver; a driver killed later is started again, and the till's
// open port works on with the new driver.
TEST_F(DriverProcess, StartLoopStartsTheDriverOverAStaleRecordAndAgainAfterItIsKilled) {
  test::ScopedLog log;
  test::ScopedEnv sock("TILLCAST_DRIVER_SOCKET", socket_);
  test::ScopedEnv conf("TILLCAST_SERIALFILTER_CONF", dir_.Sub("sf.conf"));
  platform::PosixServiceManager services(dir_.Sub("services"));
  ASSERT_EQ(services.Connect(), 0u);
  test::Subprocess other({"/bin/sleep", "30"}, {});
  char image[PATH_MAX];
  ASSERT_NE(realpath((test::BinDir() + "/SerialFilter64").c_str(), image), nullptr);
  test::WriteFile(dir_.Sub("services/SerialFilter64.service"),
                  "name=SerialFilter64\ntype=1\nstart_type=3\nimage=" + std::string(image) +
                      "\npid=" + std::to_string(other.pid()) + "\n");
  uint32_t state = 0;
  ASSERT_EQ(services.QueryState("SerialFilter64", &state), 0u);
  EXPECT_EQ(state, platform::kServiceStopped);

  const auto driver_pid = [&] {
    platform::ServiceConfig record;
    int pid = 0;
    services.ReadRecord("SerialFilter64", &record, &pid);
    return pid;
  };
  const auto running = [&] {
    uint32_t st = 0;
    return services.QueryState("SerialFilter64", &st) == 0 && st == platform::kServiceRunning;
  };
  std::atomic<bool> exiting{false};
  DriverService service(&services, "SerialFilter64");
  std::thread loop([&] { service.RunStartLoop(exiting, 100); });
  const bool started = test::WaitUntil([&] { return running() && test::FileExists(dir_.Sub("COM1")); }, 10000);
  const int first = driver_pid();
  EXPECT_TRUE(started);
  EXPECT_NE(first, other.pid());
  EXPECT_TRUE(platform::ProcessAlive(other.pid())) << "the other process was touched";

  ScopedFd till(open(dir_.Sub("COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  EXPECT_GE(till.get(), 0);
  if (started && till.get() >= 0) {
    WriteAll(till.get(), "before;");
    EXPECT_EQ(ReadAll(printer_master_.get(), 7), "before;");
    kill(first, SIGKILL);
    EXPECT_TRUE(test::WaitUntil([&] { return driver_pid() != first && running(); }, 10000));
    EXPECT_TRUE(
        test::WaitUntil([&] { return log.Contains("capture driver service SerialFilter64 restarted"); }, 10000));
    WriteAll(till.get(), "after the restart;");
    EXPECT_EQ(ReadAll(printer_master_.get(), 18), "after the restart;");
  }
  exiting = true;
  loop.join();
  const int last = driver_pid();
  EXPECT_EQ(services.Stop("SerialFilter64"), 0u);
  EXPECT_TRUE(test::WaitUntil([&] { return !platform::ProcessAlive(last); }, 5000));
}

TEST(DriverUninstall, UninstallRunRemovesARunningService) {
  test::TempDir dir;
  test::ScopedEnv sock("TILLCAST_DRIVER_SOCKET", dir.Sub("sf.sock"));
  test::ScopedEnv conf("TILLCAST_SERIALFILTER_CONF", dir.Sub("missing.conf"));
  platform::PosixServiceManager services(dir.Sub("services"));
  // Whatever fails below, the driver started here does not outlive the test.
  struct StopLeftovers {
    std::string folder;
    ~StopLeftovers() { test::StopRecordedServices(folder); }
  } stop{dir.Sub("services")};
  DriverService service(&services, "SerialFilter64");
  ASSERT_TRUE(service.StartDriverService(test::BinDir() + "/SerialFilter64"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(dir.Sub("sf.sock")); }, 10000));
  // The default configuration proxies COM1 and LPT1 beside the socket.
  EXPECT_TRUE(test::WaitUntil([&] { return test::FileExists(dir.Sub("COM1")); }, 5000));
  platform::ServiceConfig record;
  int pid = 0;
  ASSERT_TRUE(services.ReadRecord("SerialFilter64", &record, &pid));
  ASSERT_GT(pid, 0);

  StartupEnv env;
  env.services = &services;
  EXPECT_EQ(RunAgent({"tillcast", "UnInstall"}, env, StartupHooks{}), 0);
  EXPECT_EQ(services.Exists("SerialFilter64"), platform::kErrorServiceDoesNotExist);
  EXPECT_TRUE(test::WaitUntil([&] { return !platform::ProcessAlive(pid); }, 10000));
  EXPECT_FALSE(test::FileExists(dir.Sub("sf.sock")));
  EXPECT_FALSE(test::FileExists(dir.Sub("COM1")));
  // The driver's port keeper went with it.
  EXPECT_TRUE(test::WaitUntil([&] { return test::ProcessesMentioning(dir.path()).empty(); }, 3000));
}

}  // namespace
}  // namespace tillcast
