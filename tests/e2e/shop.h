// A whole shop on loopback for the system tests: Redis, the cloud
// simulator, the virtual printer on a pseudo-terminal (or on TCP, as a
// network printer), the capture driver with a proxied till port, and the
// agent bound with the demo device key.
// Everything lives in one private temporary folder and is stopped by the
// destructor, even when a test fails half-way.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"
#include "support/redis_server.h"
#include "support/subprocess.h"
#include "support/tcp_printer.h"
#include "support/test_support.h"

namespace tillcast::test {

// Raw jobs "JOB <first>" .. "JOB <first+count-1>" (three digits), each a
// document of its own (reset, the line, a cut).
std::vector<std::string> NumberedJobs(int first, int count);

// One document the virtual printer finished: <out>/NNNN-....{bin,png,txt}.
struct PrintedDoc {
  std::string base;  // path without extension
  std::string Bytes() const { return ReadFile(base + ".bin"); }
  std::string Text() const { return ReadFile(base + ".txt"); }
  std::string Png() const { return base + ".png"; }
};

// Not thread-safe; one test thread drives it.
class Shop {
 public:
  static constexpr const char* kDeviceKey = "DEMO-KEY-0001";
  static constexpr const char* kDeviceId = "dev-0001";

  Shop();
  ~Shop();  // stops the agent (SIGTERM, then SIGKILL), then the rest

  // The simulator's data file (JSON, UTF-8); "" = its built-in demo store.
  // Call before Start.
  void SetCloudData(const std::string& json) { cloud_data_ = json; }

  // Extra lines for the agent's setting.ini (sections and keys). Call
  // before Start.
  void AddSettings(const std::string& ini_lines) { extra_settings_ += ini_lines; }

  // The agent's keyboard filter on, fed through a pipe (KeyFeed()) instead
  // of the machine's keyboards. Call before Start.
  void UseKeyFeed() { key_feed_ = true; }

  // Starts every part; false with `*why` when one does not come up.
  // `redis_aof` keeps the job list across a Redis restart.
  bool Start(std::string* why, bool redis_aof = false);

  // Waits until the agent is bound and its job loop is connected to Redis.
  bool WaitReady(int timeout_ms);
  // Start, then WaitReady: a failure says which part did not come up (the
  // agent's log when it is the agent).
  ::testing::AssertionResult StartReady(bool redis_aof = false, int timeout_ms = 20000);

  // The cloud simulator stopped, and started again on the same port and
  // uploads folder.
  void StopCloud();
  bool StartCloud(std::string* why);
  // Faults of the simulator's upload route: "413", "503", "stall", "none".
  bool SetUploadFault(const std::string& fault);
  // Upload requests the simulator received again after storing them.
  int UploadRepeats();

  // The agent ended with `sig` (waited for), and started again.
  void StopAgent(int sig);
  void StartAgent();

  // Stops and starts Redis on the same port and folder.
  bool RestartRedis(std::string* why);
  void StopRedis();

  // LPUSHes a raw job (printer bytes) onto the device's job list.
  bool PushRaw(const std::string& bytes, const std::string& job_id);
  // Several raw jobs in one connection, in order.
  bool PushRawMany(const std::vector<std::string>& jobs);

  // Writes `bytes` to the till's port as the till software would.
  bool WriteTill(const std::string& bytes);
  // Performs a till's writes one by one on its port (see till_corpus.h),
  // `pause_us` between them. On a network till port: one connection, ended
  // by the till once written; returns once the driver ended it too (the
  // printer has everything).
  bool WriteTillWrites(const std::vector<std::string>& writes, int pause_us = 0);
  // The till's serial port opened (blocking, raw) as till software keeps it
  // open all day; invalid on failure.
  platform::ScopedFd OpenTill();

  // The capture driver crashes: SIGKILL, nothing cleaned up. The agent's
  // driver service (the service record names this driver) starts it again.
  void KillDriver();
  // The capture driver stopped cleanly (SIGTERM): its port keeper removes
  // the till's ports and ends with it.
  void StopDriver();

  // Through the simulator's admin routes: a store's new receipt template,
  // a notify element, an order job for the device.
  bool SetTemplate(const std::string& store_id, const std::string& template_json);
  bool PushNotify(const std::string& text);
  bool PushOrder(const std::string& order_no);

  // A print job through the spooler: `bytes` written as spool file `name`,
  // then, once the agent holds its copy, deleted as the spooler does when
  // the job is done. False when the agent never copied it.
  bool Spool(const std::string& name, const std::string& bytes);

  // Types `text` on the fed keyboard, all at once as a scanner does.
  bool TypeKeys(const std::string& text);
  std::string KeyFeed() const { return dir_.Sub("run/keys"); }
  // Where the agent's windows leave their pictures and control texts.
  std::string SnapshotFolder() const { return dir_.Sub("snapshots"); }

  std::vector<PrintedDoc> Printed() const;  // in order of printing
  // Waits for a document with exactly `bytes` (a till's print passed on).
  bool WaitPrinted(const std::string& bytes, int timeout_ms) const;
  std::vector<std::string> Uploads() const;  // files, in order of arrival
  std::string AgentLog() const;              // as written (GBK)
  std::string DataFolder() const { return dir_.Sub("data/Tillcast"); }
  std::string IpcSocket() const { return dir_.Sub("run/tillcast.sock"); }
  // The folder the agent watches for CUPS jobs' copies (not made here: the
  // CUPS backend makes it).
  std::string CupsInbox() const { return dir_.Sub("cups-inbox"); }

  // Faults of a real shop (see cloud_job_faults_test.cc). The printer on a
  // serial port instead of a parallel one (serial printers answer status
  // requests); call before Start.
  void UseSerialPrinter() { serial_printer_ = true; }
  // The till prints to a network printer: the virtual printer listens on
  // TCP, the driver's network till port 1 passes each connection of the
  // till on to it, and the agent prints there too (PortType "网口"). Call
  // before Start.
  void UseNetworkPrinter() { network_ = true; }
  // A connection to the network till port as the till's software opens one
  // to its printer (blocking); invalid on failure.
  platform::ScopedFd ConnectTill();
  // Waits until the driver ends the connection `till` (after the till ended
  // its side); false after `timeout_ms`.
  static bool WaitConnectionEnd(int till, int timeout_ms);
  // The virtual printer removed (stopped, its port gone) and back; paused
  // (SIGSTOP: the port stays but nothing reads or answers) and resumed.
  void StopPrinter();
  bool StartPrinter(std::string* why);
  void PausePrinter();
  void ResumePrinter();
  // SIGKILL of the agent (StopAgent(SIGKILL)); StartAgent starts a new one
  // on the same folders.
  void KillAgent();
  // SIGKILL of Redis and a new one on the same port and folder.
  bool KillAndRestartRedis(std::string* why);
  // One Redis command, its reply as text (see RedisServer::Command).
  std::string Redis(const std::vector<std::string>& args) const;

  Subprocess* agent() { return agent_.get(); }
  // The agent's environment (for tillcast-send).
  std::map<std::string, std::string> AgentEnv() const;
  const std::string& folder() const { return dir_.path(); }
  std::string RedisPort() const;

 private:
  bool StartRedis(std::string* why);
  bool SimRequest(const std::string& method, const std::string& path, const std::string& body);

  TempDir dir_;
  bool key_feed_ = false;
  int cloud_port_ = 0;
  std::string extra_settings_;
  std::string cloud_url_;
  std::string cloud_data_;
  std::unique_ptr<RedisServer> redis_;
  std::unique_ptr<Subprocess> cloud_, printer_, driver_, agent_;
  bool serial_printer_ = false;
  bool network_ = false;
  int till_port_ = 0;     // network: where the till connects
  int printer_port_ = 0;  // network: where the virtual printer listens
};

}  // namespace tillcast::test
