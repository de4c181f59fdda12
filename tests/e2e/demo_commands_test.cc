// The demo's commands against the demo shop as `scripts/run` brings it up
// (scripts/demo/shop in a private folder): each fails with its reason and a
// non-zero status when the shop is down or the cloud does not know the
// number, and says what happened, naming its picture, when it did happen.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <map>
#include <string>
#include <vector>

#include "support/subprocess.h"
#include "support/test_support.h"

namespace tillcast::test {
namespace {

std::string DemoScript(const std::string& name) { return std::string(TILLCAST_SOURCE_DIR) + "/scripts/demo/" + name; }

struct CommandRun {
  int exit_code = -1000;
  std::string out;  // standard output and error
};

// One demo command, as a user runs it from another shell.
CommandRun RunCommand(const TempDir& dir, const std::string& name, const std::vector<std::string>& args,
                      const std::string& demo_dir, int wait_s = 3) {
  static int seq = 0;
  const std::string out = dir.Sub("cmd-" + std::to_string(++seq) + ".out");
  std::vector<std::string> argv = {"/bin/bash", DemoScript(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  Subprocess cmd(argv,
                 {{"TILLCAST_DEMO_DIR", demo_dir}, {"TILLCAST_BIN", BinDir()}, {"DEMO_WAIT_S", std::to_string(wait_s)}},
                 out);
  CommandRun run;
  if (cmd.Wait(60000)) run.exit_code = cmd.exit_code();
  run.out = ReadFile(out);
  return run;
}

// The whole demo shop, stopped (SIGTERM, as Ctrl-C) by the destructor.
class DemoShop {
 public:
  explicit DemoShop(const TempDir& dir) : dir_(dir), demo_(dir.Sub("demo")) {}
  ~DemoShop() { Stop(); }

  bool Start(std::string* why) {
    shop_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"/bin/bash", DemoScript("shop")},
        std::map<std::string, std::string>{{"TILLCAST_DEMO_DIR", demo_}, {"TILLCAST_BIN", BinDir()}},
        dir_.Sub("shop.out"));
    const bool up = WaitUntil(
        [&] {
          const std::string out = ReadFile(dir_.Sub("shop.out"));
          return out.find("job list connected") != std::string::npos || out.find("shop: stopped") != std::string::npos;
        },
        60000);
    const std::string out = ReadFile(dir_.Sub("shop.out"));
    if (!up || out.find("job list connected") == std::string::npos) {
      *why = out;
      return false;
    }
    return true;
  }
  void Stop() {
    if (!shop_) return;
    shop_->Signal(SIGTERM);
    shop_->Wait(20000);
    shop_.reset();
  }
  const std::string& demo() const { return demo_; }

 private:
  const TempDir& dir_;
  std::string demo_;
  std::unique_ptr<Subprocess> shop_;
};

// Nothing the shop started may outlive the test.
void ExpectNothingLeft(const TempDir& dir) {
  EXPECT_TRUE(WaitUntil([&] { return ProcessesMentioning(dir.path()).empty(); }, 5000));
  for (int pid : ProcessesMentioning(dir.path())) ::kill(pid, SIGKILL);
}

struct DemoCall {
  const char* name;
  std::vector<std::string> args;
};

const std::vector<DemoCall>& EveryCommand() {
  static const std::vector<DemoCall> kCalls = {
      {"till-print", {}},
      {"till-print", {"--voucher"}},
      {"till-print", {"--network"}},
      {"lp-print", {}},
      {"cloud-print", {}},
      {"cloud-print", {"hello"}},
      {"pay-order", {}},
      {"scan", {}},
      {"quit", {}},
      {"doctor", {}},
  };
  return kCalls;
}

TEST(DemoCommands, EveryCommandAndToolAnswersHelpWithoutAShop) {
  TempDir dir;
  for (const char* name : {"till-print", "lp-print", "cloud-print", "pay-order", "scan", "quit", "doctor", "shop"}) {
    const CommandRun run = RunCommand(dir, name, {"--help"}, dir.Sub("no-demo"));
    EXPECT_EQ(run.exit_code, 0) << name << ": " << run.out;
    EXPECT_NE(run.out.find("Usage:"), std::string::npos) << name << ": " << run.out;
  }
  for (const char* tool : {"tillcast", "tillcast-doctor", "tillcast-send", "tillcast-spool2text",
                           "tillcast-template-preview", "tillcast-cloudsim", "tillcast-vprinter"}) {
    const std::string out = dir.Sub(std::string(tool) + ".help");
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", BinDir() + "/" + tool + " --help > " + out + " 2>&1"}, {}, 20000), 0)
        << tool << ": " << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("sage"), std::string::npos) << tool << ": " << ReadFile(out);
  }
}

TEST(DemoCommands, WithoutADemoShopEveryCommandSaysSoAndFails) {
  TempDir dir;
  for (const DemoCall& c : EveryCommand()) {
    const CommandRun run = RunCommand(dir, c.name, c.args, dir.Sub("no-demo"));
    EXPECT_EQ(run.exit_code, 1) << c.name << ": " << run.out;
    EXPECT_NE(run.out.find("no demo shop in"), std::string::npos) << c.name << ": " << run.out;
  }
}

TEST(DemoCommands, CloudPrintFileWithoutAFileIsAUsageError) {
  TempDir dir;
  // Before any shop is looked for: the command line is wrong either way.
  ASSERT_EQ(::mkdir(dir.Sub("demo").c_str(), 0700), 0);
  WriteFile(dir.Sub("demo/env"), "export DEMO_REDIS_PORT=1\n");
  const CommandRun run = RunCommand(dir, "cloud-print", {"--file"}, dir.Sub("demo"));
  EXPECT_EQ(run.exit_code, 2) << run.out;
  EXPECT_NE(run.out.find("--file needs a file"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("unbound variable"), std::string::npos) << run.out;
}

class DemoShopTest : public ::testing::Test {
 protected:
  void TearDown() override {
    shop_.Stop();
    ExpectNothingLeft(dir_);
  }
  CommandRun Run(const std::string& name, const std::vector<std::string>& args, int wait_s = 10) {
    return RunCommand(dir_, name, args, shop_.demo(), wait_s);
  }
  TempDir dir_;
  DemoShop shop_{dir_};
};

TEST_F(DemoShopTest, CommandsReportWhatHappenedAndUnknownNumbersFail) {
  std::string why;
  ASSERT_TRUE(shop_.Start(&why)) << why;

  const CommandRun order = Run("pay-order", {"O20240001"});
  EXPECT_EQ(order.exit_code, 0) << order.out;
  const size_t at = order.out.find("its picture: ");
  ASSERT_NE(at, std::string::npos) << order.out;
  std::string picture = order.out.substr(at + 13);
  picture = picture.substr(0, picture.find('\n'));
  EXPECT_TRUE(FileExists(picture)) << picture;
  EXPECT_NE(picture.find("CvsOrderWnd-"), std::string::npos) << picture;

  const CommandRun no_order = Run("pay-order", {"O99999999"});
  EXPECT_EQ(no_order.exit_code, 1) << no_order.out;
  EXPECT_NE(no_order.out.find("the cloud has no order O99999999"), std::string::npos) << no_order.out;

  const CommandRun no_receipt = Run("scan", {"R20991231000000000009"});
  EXPECT_EQ(no_receipt.exit_code, 1) << no_receipt.out;
  EXPECT_NE(no_receipt.out.find("the cloud has no receipt R20991231000000000009"), std::string::npos) << no_receipt.out;

  const CommandRun receipt = Run("scan", {"R20240501000000000001"});
  EXPECT_EQ(receipt.exit_code, 0) << receipt.out;
  EXPECT_NE(receipt.out.find("the receipt was printed: "), std::string::npos) << receipt.out;

  const CommandRun job = Run("cloud-print", {"demo test"});
  EXPECT_EQ(job.exit_code, 0) << job.out;
  EXPECT_NE(job.out.find("printed: "), std::string::npos) << job.out;

  const CommandRun sale = Run("till-print", {});
  EXPECT_EQ(sale.exit_code, 0) << sale.out << ReadFile(shop_.demo() + "/prints/summary.log");
  EXPECT_NE(sale.out.find("captured and uploaded"), std::string::npos) << sale.out;

  // The same sale through the network till port and through the CUPS queue
  // (sales under 5 s apart take every other one: these are a till's next sales).
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  const CommandRun network = Run("till-print", {"--network"});
  EXPECT_EQ(network.exit_code, 0) << network.out << ReadFile(shop_.demo() + "/prints-network/summary.log");
  EXPECT_NE(network.out.find("/prints-network/"), std::string::npos) << network.out;
  EXPECT_NE(network.out.find("captured and uploaded"), std::string::npos) << network.out;
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  const CommandRun cups = Run("lp-print", {});
  EXPECT_EQ(cups.exit_code, 0) << cups.out << ReadFile(shop_.demo() + "/cups/log/error_log");
  EXPECT_NE(cups.out.find("captured and uploaded"), std::string::npos) << cups.out;
}

TEST_F(DemoShopTest, StoppedShopFailsEveryCommandAndLeavesNoFileAtTheTillPort) {
  std::string why;
  ASSERT_TRUE(shop_.Start(&why)) << why;
  shop_.Stop();
  ExpectNothingLeft(dir_);
  // The env file stays (the shop keeps its state); nothing answers.
  for (const DemoCall& c : EveryCommand()) {
    if (std::string(c.name) == "doctor") continue;  // its own report, below
    const CommandRun run = Run(c.name, c.args, 2);
    EXPECT_EQ(run.exit_code, 1) << c.name << ": " << run.out;
    EXPECT_NE(run.out.find("is not running, so the demo shop is not up"), std::string::npos)
        << c.name << ": " << run.out;
    EXPECT_EQ(run.out.find("printed"), std::string::npos) << c.name << ": " << run.out;
  }
  struct stat st {};
  EXPECT_NE(::stat((shop_.demo() + "/ports/till").c_str(), &st), 0) << "a file was created where the till port was";

  const CommandRun doctor = Run("doctor", {});
  EXPECT_EQ(doctor.exit_code, 1) << doctor.out;
  EXPECT_NE(doctor.out.find("PROBLEM  The agent: not running"), std::string::npos) << doctor.out;
}

}  // namespace
}  // namespace tillcast::test
