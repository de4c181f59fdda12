// The driver protocol, the driver stand-in's core, the agent's connection
// and its serial watcher, in one process.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "capture/driver_connection.h"
#include "capture/serial_watcher.h"
#include "config.h"
#include "driver_core.h"
#include "in_process_driver.h"
#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

using capture::FakeDriverDevice;
using capture::ManualTimerService;
using namespace driver;

std::string Request(uint32_t code, const std::string& in) { return EncodeMessage(code, in.data(), in.size()); }

uint32_t StatusOf(const std::string& reply) {
  uint32_t status = 0;
  const uint8_t* body = nullptr;
  size_t size = 0;
  EXPECT_TRUE(
      DecodeMessage(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), kMaxMessage, &status, &body, &size));
  return status;
}

std::string Handle(serialfilter::DriverCore* core, const std::string& msg, int fd = -1, int client = 1) {
  return core->Handle(client, reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), fd);
}

uint64_t ReadCounter(int fd) {
  uint64_t v = 0;
  return read(fd, &v, sizeof(v)) == sizeof(v) ? v : 0;
}

TEST(DriverProtocol, RecordsHaveTheirFixedSizes) {
  EXPECT_EQ(EncodePortMonitorRequest({2, 1, -1, 9}).size(), 16u);
  EXPECT_EQ(EncodePortMonitorRemoval({2, 1, -1}).size(), 12u);
  EXPECT_EQ(EncodeAppIdRecord({2}).size(), 4u);
  const std::string r = EncodePortMonitorRequest({2, 1, -1, 9});
  PortMonitorRequest back{};
  ASSERT_TRUE(DecodePortMonitorRequest(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &back));
  EXPECT_EQ(back.port, -1);
  EXPECT_EQ(back.event, 9u);
  EXPECT_FALSE(DecodePortMonitorRequest(reinterpret_cast<const uint8_t*>(r.data()), 15, &back));
  // A message whose length field disagrees with its size is refused.
  std::string m = Request(kIoctlAppExit, "abc");
  uint32_t code = 0;
  const uint8_t* body = nullptr;
  size_t size = 0;
  EXPECT_TRUE(DecodeMessage(reinterpret_cast<const uint8_t*>(m.data()), m.size(), 16, &code, &body, &size));
  EXPECT_FALSE(DecodeMessage(reinterpret_cast<const uint8_t*>(m.data()), m.size() - 1, 16, &code, &body, &size));
  EXPECT_FALSE(DecodeMessage(reinterpret_cast<const uint8_t*>(m.data()), m.size(), 2, &code, &body, &size));
  EXPECT_FALSE(DecodeMessage(reinterpret_cast<const uint8_t*>(m.data()), 7, 16, &code, &body, &size));
}

TEST(DriverCore, MonitorsQueuesAndSignals) {
  serialfilter::DriverCore core(false);
  // Nothing is queued while no one monitors the type.
  core.Capture(kPortSerial, 1, reinterpret_cast<const uint8_t*>("lost"), 4);
  EXPECT_EQ(core.Pending(kPortSerial), 0u);

  const int ev = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK);
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev))),
            0u);
  // Without an event the registration is refused.
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 2, -1, 0})))),
            kErrInvalidParameter);
  const std::string big(5000, 'x');
  core.Capture(kPortSerial, 7, reinterpret_cast<const uint8_t*>(big.data()), big.size());
  EXPECT_EQ(core.Pending(kPortSerial), 2u);  // 4096 + 904
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(ReadCounter(ev), 0u);

  const std::string reply = Handle(&core, Request(kIoctlGetSerialComData, ""));
  ASSERT_EQ(reply.size(), kMessageHeader + sizeof(PortDataReply));
  PortDataReply data{};
  ASSERT_TRUE(DecodePortDataReply(reinterpret_cast<const uint8_t*>(reply.data()) + 8, reply.size() - 8, &data));
  EXPECT_EQ(data.source, 7u);
  EXPECT_EQ(data.length, 4096u);
  Handle(&core, Request(kIoctlGetSerialComData, ""));
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlGetSerialComData, ""))), kErrNoMoreItems);
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlGetParallelData, ""))), kErrNoMoreItems);

  // The test hook is off here; unknown codes and short records are refused.
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlTestInject, std::string(12, '\1')))), kErrInvalidFunction);
  EXPECT_EQ(StatusOf(Handle(&core, Request(0x1234, ""))), kErrInvalidFunction);
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlRemoveAllPortMonitor, "ab"))), kErrInvalidParameter);

  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlRemoveAllPortMonitor, EncodeAppIdRecord({3})))), 0u);
  EXPECT_EQ(core.MonitorCount(), 1u);  // other appid
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlRemovePortMonitor, EncodePortMonitorRemoval({2, 1, -1})))), 0u);
  EXPECT_EQ(core.MonitorCount(), 0u);
  close(ev);
}

uint64_t g_now_ms = 0;
uint64_t FakeNowMs() { return g_now_ms; }

std::string FetchSerial(serialfilter::DriverCore* core, uint32_t* source = nullptr) {
  const std::string reply = Handle(core, Request(kIoctlGetSerialComData, ""));
  PortDataReply data{};
  if (reply.size() != kMessageHeader + sizeof(PortDataReply) ||
      !DecodePortDataReply(reinterpret_cast<const uint8_t*>(reply.data()) + 8, reply.size() - 8, &data))
    return "";
  if (source != nullptr) *source = data.source;
  return std::string(reinterpret_cast<const char*>(data.payload), data.length);
}

// What the till prints while no agent is registered (the driver just
// restarted, or the agent is reconnecting) waits for the agent for the
// hold, and is announced to its monitor; past the hold it is dropped.
TEST(DriverCore, BytesWithoutAMonitorAreHeldForAnAgentThatComesWithinTheHold) {
  g_now_ms = 1000;
  serialfilter::DriverCore core(false);
  core.HoldUnmonitored(5000, FakeNowMs);
  const auto capture = [&](const std::string& b) {
    core.Capture(kPortSerial, 1, reinterpret_cast<const uint8_t*>(b.data()), b.size());
  };
  capture("printed while the driver was away;");
  g_now_ms += 4000;
  capture("and right after;");
  EXPECT_EQ(core.Pending(kPortSerial), 1u);
  const int ev = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK);
  ASSERT_EQ(StatusOf(Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev))),
            0u);
  // What comes once the agent is there is a payload of its own, unmarked.
  capture("a sale made now;");
  EXPECT_EQ(ReadCounter(ev) + ReadCounter(ev), 2u) << "one signal each";
  uint32_t source = 0;
  EXPECT_EQ(FetchSerial(&core, &source), "printed while the driver was away;and right after;");
  EXPECT_EQ(source, 1u | kSourceHeld) << "kept bytes are marked for the agent";
  EXPECT_EQ(FetchSerial(&core, &source), "a sale made now;");
  EXPECT_EQ(source, 1u);

  // The agent re-registers (its monitors go, then come): nothing in between
  // is lost.
  g_now_ms += 60000;  // the hold counts from when the last monitor went
  ASSERT_EQ(StatusOf(Handle(&core, Request(kIoctlRemoveAllPortMonitor, EncodeAppIdRecord({2})))), 0u);
  capture("between two registrations;");
  ASSERT_EQ(StatusOf(Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev))),
            0u);
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(FetchSerial(&core), "between two registrations;");

  // No agent within the hold: what was kept, and what comes later, is dropped.
  ASSERT_EQ(StatusOf(Handle(&core, Request(kIoctlRemoveAllPortMonitor, EncodeAppIdRecord({2})))), 0u);
  capture("nobody came for this;");
  EXPECT_EQ(core.Pending(kPortSerial), 1u);
  g_now_ms += 5001;
  capture("nor for this;");
  EXPECT_EQ(core.Pending(kPortSerial), 0u);
  ASSERT_EQ(StatusOf(Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev))),
            0u);
  EXPECT_EQ(ReadCounter(ev), 0u);

  // The other type's hold is its own: parallel never had a monitor, and
  // its hold from the start is long over.
  core.Capture(kPortParallel, 1, reinterpret_cast<const uint8_t*>("x"), 1);
  EXPECT_EQ(core.Pending(kPortParallel), 0u);
  close(ev);
}

TEST(DriverCore, SmallReadsJoinTheUnfetchedPayloadWithoutAnotherSignal) {
  serialfilter::DriverCore core(false);
  const int ev = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK);
  Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev));
  // A till writing byte by byte: 5000 reads of one byte, nobody fetching.
  std::string sent;
  for (int i = 0; i < 5000; ++i) {
    const uint8_t b = static_cast<uint8_t>(i % 7 == 0 ? 0 : i);
    core.Capture(kPortSerial, 1, &b, 1);
    sent.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(core.Pending(kPortSerial), 2u);  // 4096 + 904
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(ReadCounter(ev), 0u);
  const auto fetch = [&] {
    const std::string reply = Handle(&core, Request(kIoctlGetSerialComData, ""));
    PortDataReply r{};
    EXPECT_TRUE(DecodePortDataReply(reinterpret_cast<const uint8_t*>(reply.data()) + 8, reply.size() - 8, &r));
    return std::string(reinterpret_cast<const char*>(r.payload), r.length);
  };
  std::string got = fetch();
  // More bytes join the payload still waiting; none joins a fetched one.
  core.Capture(kPortSerial, 1, reinterpret_cast<const uint8_t*>("\x1b"), 1);
  EXPECT_EQ(core.Pending(kPortSerial), 1u);
  EXPECT_EQ(ReadCounter(ev), 0u);
  got += fetch();
  EXPECT_EQ(got, sent + "\x1b");
  core.Capture(kPortSerial, 1, reinterpret_cast<const uint8_t*>("\n"), 1);
  EXPECT_EQ(ReadCounter(ev), 1u);
  EXPECT_EQ(fetch(), "\n");
  // Another source starts its own payload.
  core.Capture(kPortSerial, 1, reinterpret_cast<const uint8_t*>("a"), 1);
  core.Capture(kPortSerial, 2, reinterpret_cast<const uint8_t*>("b"), 1);
  EXPECT_EQ(core.Pending(kPortSerial), 2u);
  close(ev);
}

TEST(DriverCore, AConnectionThatEndsTakesItsMonitorsAlong) {
  serialfilter::DriverCore core(true);
  const int ev = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK);
  Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 2, -1, 0})), dup(ev), 5);
  std::string inject;
  AppendU32(&inject, kPortParallel);
  AppendU32(&inject, 3);
  inject += "abc";
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlTestInject, inject))), 0u);
  EXPECT_EQ(core.Pending(kPortParallel), 1u);
  core.DropClient(5);
  EXPECT_EQ(core.MonitorCount(), 0u);
  // App exit forgets the calling connection only.
  Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 2, -1, 0})), dup(ev), 5);
  Handle(&core, Request(kIoctlAddPortMonitor, EncodePortMonitorRequest({2, 1, -1, 0})), dup(ev), 6);
  EXPECT_EQ(StatusOf(Handle(&core, Request(kIoctlAppExit, ""), -1, 5)), 0u);
  EXPECT_EQ(core.MonitorCount(), 1u);
  close(ev);
}

TEST(DriverConfig, ParsesPortsAndRejectsBadLines) {
  serialfilter::DriverConfig c = serialfilter::DefaultConfig();
  ASSERT_EQ(c.ports.size(), 2u);
  std::string error;
  ASSERT_TRUE(
      serialfilter::ParseConfig("# ports\nsocket /tmp/x.sock\nsocket_mode 0660\n"
                                "serial 2 /tmp/COM2 /dev/ttyUSB0 9600\nparallel 1 /tmp/LPT1\n",
                                &c, &error));
  EXPECT_EQ(c.socket, "/tmp/x.sock");
  EXPECT_EQ(c.socket_mode, 0660u);
  ASSERT_EQ(c.ports.size(), 2u);
  EXPECT_EQ(c.ports[0].number, 2u);
  EXPECT_EQ(c.ports[0].printer, "/dev/ttyUSB0");
  EXPECT_EQ(c.ports[0].baud, 9600);
  EXPECT_EQ(c.ports[0].flow, serialfilter::FlowControl::kNone);
  EXPECT_EQ(c.ports[1].type, 2u);
  EXPECT_EQ(c.printer_backlog, 4u << 20);
  EXPECT_EQ(c.printer_drop_after_ms, 60000u);
  ASSERT_TRUE(
      serialfilter::ParseConfig("serial 1 /tmp/COM1 /dev/ttyS0 19200 rtscts\nserial 2 /tmp/COM2 /dev/ttyS1 9600 "
                                "xonxoff\nprinter_backlog 65536\nprinter_drop_after 1500\n",
                                &c, &error))
      << error;
  EXPECT_EQ(c.ports[0].flow, serialfilter::FlowControl::kRtsCts);
  EXPECT_EQ(c.ports[1].flow, serialfilter::FlowControl::kXonXoff);
  EXPECT_EQ(c.printer_backlog, 65536u);
  EXPECT_EQ(c.printer_drop_after_ms, 1500u);
  EXPECT_EQ(c.capture_hold_ms, 30000u);
  EXPECT_EQ(c.ports_linger_ms, 300000u);
  EXPECT_EQ(serialfilter::PortsSocketPath(c), "/tmp/x.sock.ports");
  ASSERT_TRUE(serialfilter::ParseConfig("capture_hold 0\nports_linger 1500\nports_socket /tmp/keeper\n", &c, &error))
      << error;
  EXPECT_EQ(c.capture_hold_ms, 0u);
  EXPECT_EQ(c.ports_linger_ms, 1500u);
  EXPECT_EQ(serialfilter::PortsSocketPath(c), "/tmp/keeper");
  // Network ports: the addresses written back in one spelling.
  ASSERT_TRUE(
      serialfilter::ParseConfig("network 1 0.0.0.0:9100 192.0.2.50:9100\n"
                                "network 2 [::]:9101 printer.shop.lan:9100\nprinter_connect_timeout 500\n",
                                &c, &error))
      << error;
  ASSERT_EQ(c.ports.size(), 2u);
  EXPECT_EQ(c.ports[0].type, serialfilter::kPortNetwork);
  EXPECT_EQ(c.ports[0].number, 1u);
  EXPECT_EQ(c.ports[0].path, "0.0.0.0:9100");
  EXPECT_EQ(c.ports[0].printer, "192.0.2.50:9100");
  EXPECT_EQ(c.ports[1].path, "[::]:9101");
  EXPECT_EQ(c.ports[1].printer, "printer.shop.lan:9100");
  EXPECT_EQ(c.printer_connect_timeout_ms, 500u);
  EXPECT_EQ(serialfilter::NetworkSource(1), 0x101u);
  for (const char* bad :
       {"network 1 0.0.0.0:9100\n", "network 1 shop-pc:9100 192.0.2.50:9100\n", "network 1 0.0.0.0:0 192.0.2.50:9100\n",
        "network 1 0.0.0.0:9100 192.0.2.50:65536\n", "network 1 0.0.0.0 192.0.2.50:9100\n",
        "network 1 :::9100 192.0.2.50:9100\n", "network 1 0.0.0.0:9100 192.0.2.50:9100 extra\n",
        "network 256 0.0.0.0:9100 a:1\n", "printer_connect_timeout 10\n"}) {
    EXPECT_FALSE(serialfilter::ParseConfig(bad, &c, &error)) << bad;
  }
  for (const char* bad :
       {"serial\n", "serial x /a\n", "baud 5\n", "ports_linger 10\n", "capture_hold x\n", "ports_socket\n",
        "serial 1 /a /b fast\n", "socket_mode 999\n", "serial 1 /a /b 9600 dtrdsr\n", "serial 1 /a /b 9600 none more\n",
        "printer_backlog 10\n", "printer_backlog -5\n", "printer_drop_after 5s\n"}) {
    EXPECT_FALSE(serialfilter::ParseConfig(bad, &c, &error)) << bad;
  }
}

// --- DriverConnection over a fake device ---

TEST(DriverConnection, NothingIsSentBeforeConnecting) {
  auto dev = std::make_unique<FakeDriverDevice>();
  FakeDriverDevice* fake = dev.get();
  DriverConnection conn(std::move(dev));
  const AppIdRecord rec{2};
  for (int m = 0; m <= 5; ++m) EXPECT_FALSE(conn.DriverMethodCall(m, &rec)) << m;
  EXPECT_TRUE(fake->Calls().empty());
}

TEST(DriverConnection, ConnectLogsAndHappensOnce) {
  test::ScopedLog log;
  auto dev = std::make_unique<FakeDriverDevice>();
  FakeDriverDevice* fake = dev.get();
  fake->open_error = 2;
  DriverConnection conn(std::move(dev));
  EXPECT_FALSE(conn.Connect());
  EXPECT_TRUE(log.Contains("[ERROR]: Connect to driver failed:2\r\n"));
  fake->open_error = 0;
  EXPECT_TRUE(conn.Connect());
  EXPECT_TRUE(conn.Connect());
  EXPECT_EQ(fake->opens, 2);
  EXPECT_TRUE(log.Contains("[INFO]: Connect to driver succeed\r\n"));
}

TEST(DriverConnection, EveryPayloadLengthDeliversItsBytesAndLongOnesAreClamped) {
  struct Case {
    uint32_t length;
    size_t delivered_bytes;  // bytes copied from the payload
  };
  // Short payloads carry their real bytes: a lone ESC or line feed of the
  // till is part of the receipt.
  const Case cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4096, 4096}, {5000, 4096}, {0xFFFFFFFF, 4096}};
  for (const Case& c : cases) {
    auto dev = std::make_unique<FakeDriverDevice>();
    dev->handler = [&](const FakeDriverDevice::Call& call, std::string* out, uint32_t*) {
      EXPECT_EQ(call.code, kIoctlGetParallelData);
      PortDataReply r{};
      r.source = 77;
      r.length = c.length;
      std::memset(r.payload, 'p', sizeof(r.payload));
      *out = EncodePortDataReply(r);
      return true;
    };
    DriverConnection conn(std::move(dev));
    ASSERT_TRUE(conn.Connect());
    uint32_t got_len = 1234, got_source = 0;
    std::string got;
    conn.SetParallelDataCallback([&](uint32_t source, const uint8_t* data, uint32_t length) {
      got_source = source;
      got_len = length;
      got.assign(reinterpret_cast<const char*>(data), kPayloadMax);
    });
    ASSERT_TRUE(conn.DriverMethodCall(kDmGetParallelData, nullptr));
    EXPECT_EQ(got_source, 77u);
    EXPECT_EQ(got_len, c.length > 4096 ? 4096u : c.length);
    EXPECT_EQ(got, std::string(c.delivered_bytes, 'p') + std::string(kPayloadMax - c.delivered_bytes, '\0'))
        << c.length;
  }
}

TEST(DriverConnection, MethodsLogAndFailAsTheDriverSays) {
  test::ScopedLog log;
  auto dev = std::make_unique<FakeDriverDevice>();
  FakeDriverDevice* fake = dev.get();
  bool fail = false;
  fake->handler = [&](const FakeDriverDevice::Call& c, std::string* out, uint32_t* err) {
    if (fail) {
      *err = 31;
      return false;
    }
    if (c.code == kIoctlGetSerialComData) *out = EncodePortDataReply(PortDataReply{});
    return true;
  };
  DriverConnection conn(std::move(dev));
  ASSERT_TRUE(conn.Connect());
  const PortMonitorRequest add{2, 1, -1, 12};
  const PortMonitorRemoval rem{2, 1, -1};
  const AppIdRecord all{2};
  EXPECT_FALSE(conn.DriverMethodCall(kDmAddPortMonitor, nullptr));
  EXPECT_TRUE(conn.DriverMethodCall(kDmAddPortMonitor, &add));
  EXPECT_TRUE(conn.DriverMethodCall(kDmRemovePortMonitor, &rem));
  EXPECT_TRUE(conn.DriverMethodCall(kDmRemoveAllPortMonitor, &all));
  EXPECT_TRUE(conn.DriverMethodCall(kDmGetSerialComData, nullptr));  // no callback: still a success
  EXPECT_TRUE(conn.DriverMethodCall(kDmAppExit, nullptr));
  EXPECT_FALSE(conn.DriverMethodCall(6, nullptr));
  EXPECT_EQ(fake->Calls()[0].pass_fd, 12);
  EXPECT_EQ(fake->Calls()[0].in, EncodePortMonitorRequest(add));
  fail = true;
  const void* records[] = {&add, &rem, &all, nullptr, nullptr, nullptr};
  for (int m = 0; m <= 5; ++m) EXPECT_FALSE(conn.DriverMethodCall(m, records[m]));
  for (const char* line :
       {"[INFO]: DriverMethodCall:0\r\n", "[INFO]: Dm_AddPortMonitor success appid:2,event:12, port:-1 \r\n",
        "[INFO]: Dm_RemovePortMonitor success appid:2,type:1, id:-1,  \r\n",
        "[INFO]: Dm_RemoveAllPortMonitor success appid:2 \r\n",
        "[ERROR]: DeviceIoControl failed: SF_DVC_ADD_PORT_MONITOR \r\n",
        "[ERROR]: DeviceIoControl failed: Dm_RemovePortMonitor \r\n",
        "[ERROR]: DeviceIoControl failed: Dm_RemoveAllPortMonitor \r\n",
        "[ERROR]: DeviceIoControl failed:Dm_GetSerialComData\r\n", "[INFO]: DeviceIoControl failed:Dm_AppExit\r\n"}) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
}

// --- SerialWatcher over the in-process driver ---

struct Collected {
  std::mutex mu;
  std::string serial, parallel;
  size_t payloads = 0;
  size_t Size() {
    std::lock_guard<std::mutex> l(mu);
    return serial.size() + parallel.size();
  }
};

PortDataCallback Into(Collected* c, bool serial) {
  return [c, serial](uint32_t, const uint8_t* data, uint32_t len) {
    std::lock_guard<std::mutex> l(c->mu);
    (serial ? c->serial : c->parallel).append(reinterpret_cast<const char*>(data), len);
    ++c->payloads;
  };
}

class WatcherTest : public ::testing::Test {
 protected:
  void Make(uint32_t open_error = 0) {
    auto dev = driver_.MakeDevice();
    device_ = dev.get();
    device_->open_error = open_error;
    auto timers = std::make_unique<ManualTimerService>();
    timers_ = timers.get();
    watcher_ = std::make_unique<SerialWatcher>(std::move(dev), std::move(timers));
  }
  void RegisterBoth() {
    watcher_->RemoveAllPortMonitor();
    watcher_->AddPortMonitor(kPortSerial, -1);
    watcher_->AddPortMonitor(kPortParallel, -1);
  }
  size_t CallsOf(uint32_t code) {
    size_t n = 0;
    for (const auto& c : device_->Calls()) n += c.code == code;
    return n;
  }
  test::InProcessDriver driver_;
  FakeDriverDevice* device_ = nullptr;
  ManualTimerService* timers_ = nullptr;
  std::unique_ptr<SerialWatcher> watcher_;
};

TEST_F(WatcherTest, EventNames) {
  EXPECT_EQ(MonitorEventName(2, 1, -1), "Zellora_2_1_-1");
  EXPECT_EQ(MonitorEventName(2, 2, -1), "Zellora_2_2_-1");
}

TEST_F(WatcherTest, DriverAbsentAtStartThenTheTimerConnectsAndRegisters) {
  test::ScopedLog log;
  Make(2);
  int connected = 0;
  EXPECT_FALSE(watcher_->Init([&] {
    ++connected;
    RegisterBoth();
  }));
  EXPECT_TRUE(log.Contains("[INFO]: Startup driver conn timer\r\n\r\n"));
  EXPECT_TRUE(log.Contains("[INFO]: SerialWatcher::Init return failed\r\n\r\n"));
  const uint32_t id = watcher_->timer_id();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(timers_->LastPeriod(), 5000u);
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_EQ(connected, 0);
  device_->open_error = 0;
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(watcher_->MonitorCount(), 2u);
  EXPECT_EQ(driver_.Monitors(), 2u);
  // Connected, the timer goes on checking the driver, quietly: no more
  // "enter" lines, no second registration.
  EXPECT_EQ(timers_->ActiveCount(), 1u);
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_TRUE(timers_->Fire(id));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(device_->opens, 4);
  size_t ticks = 0;
  for (const std::string& l : test::SplitLines(log.Text()))
    ticks += l.find("DriverConnTimerProc enter") != std::string::npos;
  EXPECT_EQ(ticks, 3u);
}

TEST_F(WatcherTest, ConnectedAtOnceTheTimerRunsAtTheSetPeriod) {
  test::ScopedLog log;
  Make();
  watcher_->SetConnectPeriod(250);
  int connected = 0;
  ASSERT_TRUE(watcher_->Init([&] { ++connected; }));
  EXPECT_EQ(connected, 1);
  ASSERT_NE(watcher_->timer_id(), 0u);
  EXPECT_EQ(timers_->LastPeriod(), 250u);
  EXPECT_TRUE(timers_->Fire(watcher_->timer_id()));
  EXPECT_EQ(connected, 1);
  EXPECT_FALSE(log.Contains("DriverConnTimerProc enter"));
  EXPECT_FALSE(log.Contains("Startup driver conn timer"));
}

// The driver goes away under a connected watcher (noticed by the timer's
// look at the device, or by a failed control call), then comes back: one
// line each way, and the monitors are registered with the new driver.
TEST_F(WatcherTest, DriverGoneIsNoticedAndTheMonitorsAreRegisteredAgainWhenItIsBack) {
  struct Case {
    const char* name;
    bool by_failed_call;
  };
  for (const Case& c : {Case{"liveness look", false}, Case{"failed control call", true}}) {
    SCOPED_TRACE(c.name);
    test::ScopedLog log;
    Make();
    int connected = 0;
    ASSERT_TRUE(watcher_->Init([&] {
      ++connected;
      RegisterBoth();
    }));
    const uint32_t id = watcher_->timer_id();
    ASSERT_EQ(driver_.Monitors(), 2u);
    // The driver ends: its end of the device is gone, calls fail.
    {
      std::lock_guard<std::mutex> l(device_->mu);
      device_->alive = false;
      device_->open_error = 2;
      device_->handler = [](const FakeDriverDevice::Call&, std::string*, uint32_t* error) {
        *error = kErrDeviceNotConnected;
        return false;
      };
    }
    if (c.by_failed_call) {
      EXPECT_FALSE(watcher_->GetParallelData());
    } else {
      EXPECT_TRUE(timers_->Fire(id));
    }
    EXPECT_FALSE(watcher_->connection().IsConnected());
    {
      std::lock_guard<std::mutex> l(device_->mu);
      EXPECT_GE(device_->closes, 1);
    }
    EXPECT_TRUE(timers_->Fire(id));  // still away
    EXPECT_EQ(connected, 1);
    // A new driver (nothing registered with it yet) takes calls again.
    test::InProcessDriver fresh;
    auto fresh_device = fresh.MakeDevice();
    {
      std::lock_guard<std::mutex> l(device_->mu);
      device_->open_error = 0;
      device_->handler = fresh_device->handler;
    }
    EXPECT_TRUE(timers_->Fire(id));
    EXPECT_TRUE(watcher_->connection().IsConnected());
    EXPECT_EQ(connected, 2);
    EXPECT_EQ(fresh.Monitors(), 2u);
    EXPECT_EQ(watcher_->MonitorCount(), 2u);
    // And payloads of the new driver arrive.
    Collected got;
    watcher_->SetParallelDataCallback(Into(&got, false));
    fresh.Capture(kPortParallel, "after the restart");
    ASSERT_TRUE(test::WaitUntil([&] { return got.Size() == 17; }, 10000));
    const std::vector<std::string> lines = test::SplitLines(log.Text());
    size_t lost = 0, back = 0;
    for (const std::string& l : lines) {
      lost += l.find("[INFO]: capture driver connection lost") != std::string::npos;
      back += l.find("[INFO]: capture driver connection back") != std::string::npos;
    }
    EXPECT_EQ(lost, 1u);
    EXPECT_EQ(back, 1u);
    watcher_.reset();
  }
}

TEST_F(WatcherTest, SameMonitorTwiceRegistersOnce) {
  Make();
  ASSERT_TRUE(watcher_->Init(nullptr));
  EXPECT_TRUE(watcher_->AddPortMonitor(kPortSerial, -1));
  EXPECT_TRUE(watcher_->AddPortMonitor(kPortSerial, -1));
  EXPECT_EQ(CallsOf(kIoctlAddPortMonitor), 1u);
  EXPECT_EQ(watcher_->MonitorCount(), 1u);
  // A refused registration is not recorded, and still reports true.
  EXPECT_TRUE(watcher_->AddPortMonitor(7, -1));
  EXPECT_EQ(watcher_->MonitorCount(), 1u);
}

TEST_F(WatcherTest, RemoveAllWithoutMonitorsStillAsksTheDriver) {
  Make();
  ASSERT_TRUE(watcher_->Init(nullptr));
  EXPECT_TRUE(watcher_->RemoveAllPortMonitor());
  EXPECT_EQ(CallsOf(kIoctlRemoveAllPortMonitor), 1u);
  EXPECT_FALSE(watcher_->SetSerialDataCallback(nullptr));
  EXPECT_FALSE(watcher_->SetParallelDataCallback(nullptr));
}

TEST_F(WatcherTest, EverySignalFetchesOnePayloadAndAllBytesArriveInOrder) {
  Make();
  Collected got;
  ASSERT_TRUE(watcher_->Init([&] { RegisterBoth(); }));
  watcher_->SetSerialDataCallback(Into(&got, true));
  watcher_->SetParallelDataCallback(Into(&got, false));
  std::string want_serial, want_parallel;
  for (int i = 0; i < 300; ++i) {
    const std::string s = "serial-" + std::to_string(i) + ";";
    const std::string p = "parallel-" + std::to_string(i) + ";";
    driver_.Capture(kPortSerial, s);
    driver_.Capture(kPortParallel, p);
    want_serial += s;
    want_parallel += p;
  }
  ASSERT_TRUE(test::WaitUntil([&] { return got.Size() == want_serial.size() + want_parallel.size(); }, 10000));
  std::lock_guard<std::mutex> l(got.mu);
  EXPECT_EQ(got.serial, want_serial);
  EXPECT_EQ(got.parallel, want_parallel);
  // Pieces captured before the worker fetched were joined into one payload.
  EXPECT_LE(got.payloads, 600u);
  EXPECT_GE(got.payloads, 2u);
  EXPECT_EQ(driver_.Pending(kPortSerial), 0u);
}

TEST_F(WatcherTest, RemoveAllWhileTheWorkerWaitsThenRegisterAgain) {
  Make();
  Collected got;
  ASSERT_TRUE(watcher_->Init([&] { RegisterBoth(); }));
  watcher_->SetSerialDataCallback(Into(&got, true));
  // Let the worker settle into its wait on both events.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(watcher_->RemoveAllPortMonitor());
  EXPECT_EQ(watcher_->MonitorCount(), 0u);
  EXPECT_EQ(driver_.Monitors(), 0u);
  driver_.Capture(kPortSerial, "dropped");
  RegisterBoth();
  driver_.Capture(kPortSerial, "kept");
  ASSERT_TRUE(test::WaitUntil([&] { return got.Size() == 4; }, 5000));
  std::lock_guard<std::mutex> l(got.mu);
  EXPECT_EQ(got.serial, "kept");
}

// Registration changes racing with payload delivery: the worker must never
// wait on a closed event (TSan and ASan lanes check the rest).
TEST_F(WatcherTest, ChangesRaceWithDelivery) {
  Make();
  Collected got;
  ASSERT_TRUE(watcher_->Init(nullptr));
  watcher_->SetSerialDataCallback(Into(&got, true));
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    while (!stop.load()) {
      driver_.Capture(kPortSerial, "x");
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 200; ++i) {
    watcher_->AddPortMonitor(kPortSerial, -1);
    watcher_->AddPortMonitor(kPortParallel, -1);
    if (i % 3 == 0) watcher_->RemovePortMonitor(kPortParallel, -1);
    watcher_->RemoveAllPortMonitor();
  }
  stop.store(true);
  producer.join();
  RegisterBoth();
  driver_.Capture(kPortSerial, "END");
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> l(got.mu);
        return got.serial.size() >= 3 && got.serial.compare(got.serial.size() - 3, 3, "END") == 0;
      },
      20000));
  watcher_.reset();  // joins the worker
}

TEST_F(WatcherTest, AppExitEndsTheWorker) {
  Make();
  ASSERT_TRUE(watcher_->Init([&] { RegisterBoth(); }));
  EXPECT_TRUE(watcher_->AppExit());
  EXPECT_EQ(CallsOf(kIoctlAppExit), 1u);
  watcher_.reset();
}

}  // namespace
}  // namespace tillcast

namespace tillcast {
namespace {

TEST(ThreadTimerService, FiresUntilKilledAlsoFromItsOwnProcedure) {
  capture::ThreadTimerService timers;
  std::atomic<int> a{0}, b{0};
  const uint32_t id_a = timers.SetTimer(5, [&](uint32_t) { ++a; });
  std::atomic<uint32_t> id_b{0};
  id_b = timers.SetTimer(5, [&](uint32_t id) {
    if (++b == 3) timers.KillTimer(id);  // from inside: returns at once
  });
  ASSERT_TRUE(test::WaitUntil([&] { return a.load() >= 3 && b.load() >= 3; }, 10000));
  timers.KillTimer(id_a);  // waits for a running call to end
  const int after = a.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(a.load(), after);
  EXPECT_EQ(b.load(), 3);
  EXPECT_NE(id_a, id_b.load());
}

}  // namespace
}  // namespace tillcast
