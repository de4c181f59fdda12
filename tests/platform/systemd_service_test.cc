// The systemd backend of the service manager against a stand-in systemctl,
// and the program runner under it.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/process.h"
#include "platform/service_manager.h"
#include "support/fake_systemctl.h"
#include "support/test_support.h"

namespace tillcast::platform {
namespace {

class SystemdBackend : public ::testing::Test {
 protected:
  SystemdServiceManager Manager(int timeout_ms = 5000) {
    return SystemdServiceManager({{"SerialFilter64", "tillcast-serialfilter.service"}}, fake_.program(), timeout_ms);
  }
  test::FakeSystemctl fake_;
};

TEST_F(SystemdBackend, ActiveStatesMapToServiceStatesWithTheirDetail) {
  struct Case {
    const char* active;
    const char* sub;
    uint32_t state;
  };
  for (const Case& c : {Case{"active", "running", kServiceRunning}, Case{"reloading", "reload", kServiceRunning},
                        Case{"activating", "auto-restart", kServiceStartPending},
                        Case{"deactivating", "stop-sigterm", kServiceStopPending},
                        Case{"inactive", "dead", kServiceStopped}, Case{"failed", "failed", kServiceStopped}}) {
    fake_.SetUnit(c.active, c.sub, 4242);
    SystemdServiceManager m = Manager();
    ServiceStatus status;
    ASSERT_EQ(m.QueryStatus("SerialFilter64", &status), 0u) << c.active;
    EXPECT_EQ(status.state, c.state) << c.active;
    EXPECT_EQ(status.pid, 4242) << c.active;
    EXPECT_EQ(status.detail, std::string(c.active) + " (" + c.sub + ")");
    uint32_t state = 0;
    ASSERT_EQ(m.QueryState("SerialFilter64", &state), 0u);
    EXPECT_EQ(state, c.state);
  }
  // The unit is asked by its own name, with properties as Key=Value lines.
  EXPECT_EQ(
      fake_.Calls().at(0),
      "systemctl show -p LoadState -p ActiveState -p SubState -p MainPID -p Result -- tillcast-serialfilter.service");
}

TEST_F(SystemdBackend, PropertiesInAnyOrderAndAFailedResultAreRead) {
  fake_.SetShow("Result=exit-code\nMainPID=0\nSubState=failed\nActiveState=failed\nLoadState=loaded\n");
  ServiceStatus status;
  ASSERT_EQ(Manager().QueryStatus("SerialFilter64", &status), 0u);
  EXPECT_EQ(status.state, kServiceStopped);
  EXPECT_EQ(status.pid, 0);
  EXPECT_EQ(status.detail, "failed (failed), result exit-code");
}

TEST_F(SystemdBackend, AUnitThatIsNotInstalledDoesNotExist) {
  fake_.SetShow("LoadState=not-found\nActiveState=inactive\nSubState=dead\nMainPID=0\n");
  SystemdServiceManager m = Manager();
  EXPECT_EQ(m.Exists("SerialFilter64"), kErrorServiceDoesNotExist);
  uint32_t state = 0;
  EXPECT_EQ(m.QueryState("SerialFilter64", &state), kErrorServiceDoesNotExist);
}

TEST_F(SystemdBackend, ASystemWithoutSystemdIsReportedInSystemctlsWords) {
  fake_.SetExit(1, "System has not been booted with systemd as init system (PID 1). Can't operate.\n");
  SystemdServiceManager m = Manager();
  ServiceStatus status;
  EXPECT_EQ(m.QueryStatus("SerialFilter64", &status), kErrorManagerUnavailable);
  EXPECT_NE(m.LastError().find("exit 1: System has not been booted with systemd"), std::string::npos) << m.LastError();
  // A garbled answer is no state either.
  fake_.SetExit(0);
  fake_.SetShow("garbage without equals signs\n");
  EXPECT_EQ(m.QueryStatus("SerialFilter64", &status), kErrorManagerUnavailable);
}

TEST_F(SystemdBackend, AMissingSystemctlIsAnErrorNotACrash) {
  SystemdServiceManager m({}, "/nonexistent/systemctl");
  uint32_t state = 0;
  EXPECT_EQ(m.QueryState("SerialFilter64", &state), kErrorManagerUnavailable);
  EXPECT_NE(m.LastError().find("cannot be started"), std::string::npos);
}

TEST_F(SystemdBackend, TheUnitIsNeverCreatedStartedOrDeleted) {
  SystemdServiceManager m = Manager();
  ServiceConfig c;
  c.name = "SerialFilter64";
  EXPECT_EQ(m.Create(c), kErrorAccessDenied);
  EXPECT_EQ(m.Start("SerialFilter64"), kErrorAccessDenied);
  EXPECT_EQ(m.Delete("SerialFilter64"), kErrorAccessDenied);
  EXPECT_TRUE(fake_.Calls().empty());
  EXPECT_TRUE(m.OwnedBySystem());
}

TEST_F(SystemdBackend, DisableNowAndStopAskSystemctl) {
  SystemdServiceManager m = Manager();
  EXPECT_EQ(m.DisableNow("SerialFilter64"), 0u);
  EXPECT_EQ(m.Stop("SerialFilter64"), 0u);
  const std::vector<std::string> want{"systemctl disable --now -- tillcast-serialfilter.service",
                                      "systemctl stop -- tillcast-serialfilter.service"};
  EXPECT_EQ(fake_.Calls(), want);
  fake_.SetExit(5, "Access denied\n");
  EXPECT_EQ(m.DisableNow("SerialFilter64"), kErrorManagerUnavailable);
  EXPECT_NE(m.LastError().find("Access denied"), std::string::npos);
}

TEST_F(SystemdBackend, ASystemctlThatHangsIsKilledAtTheTimeLimit) {
  fake_.SetDelaySeconds(30);
  fake_.SetUnit("active", "running", 1);
  SystemdServiceManager m = Manager(300);
  const auto start = std::chrono::steady_clock::now();
  ServiceStatus status;
  EXPECT_EQ(m.QueryStatus("SerialFilter64", &status), kErrorManagerUnavailable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(m.LastError().find("no answer in time"), std::string::npos);
}

TEST(RunAndCapture, CollectsBothStreamsAndTheExitCode) {
  const RunResult r = RunAndCapture({"/bin/sh", "-c", "printf out; printf err >&2; exit 3"}, 5000);
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "out");
  EXPECT_EQ(r.err, "err");
}

TEST(RunAndCapture, BareNamesAreSearchedOnThePathAndOutputIsBounded) {
  const RunResult r = RunAndCapture({"sh", "-c", "head -c 200000 /dev/zero"}, 10000);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.size(), kMaxRunOutput);
}

TEST(RunAndCapture, ASignalEndingTheProgramIsReported) {
  const RunResult r = RunAndCapture({"/bin/sh", "-c", "kill -9 $$"}, 5000);
  EXPECT_EQ(r.exit_code, 128 + 9);
}

TEST(RunAndCapture, AProgramThatCannotStartSaysWhy) {
  const RunResult r = RunAndCapture({"/nonexistent/program"}, 5000);
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error, 0);
}

}  // namespace
}  // namespace tillcast::platform
