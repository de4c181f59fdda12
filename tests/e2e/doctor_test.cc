// tillcast-doctor against a whole shop: every check that applies holds in
// a working one, and a stopped driver, cloud or Redis is named with its fix.
#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <string>

#include "shop.h"

namespace tillcast::test {
namespace {

struct DoctorRun {
  int exit_code = -1;
  std::string out;
  Json::Value json;  // with --json
  // The check of that id, null when absent.
  const Json::Value* Check(const std::string& id) const {
    for (const Json::Value& c : json["checks"])
      if (c["id"].asString() == id) return &c;
    return nullptr;
  }
  std::string Status(const std::string& id) const {
    const Json::Value* c = Check(id);
    return c != nullptr ? (*c)["status"].asString() : "absent";
  }
  std::string Field(const std::string& id, const char* name) const {
    const Json::Value* c = Check(id);
    return c != nullptr ? (*c)[name].asString() : "";
  }
};

DoctorRun RunDoctor(Shop& shop, std::vector<std::string> args) {
  DoctorRun run;
  const std::string out = shop.folder() + "/doctor-" + std::to_string(::getpid()) + ".out";
  ::unlink(out.c_str());
  args.insert(args.begin(), BinDir() + "/tillcast-doctor");
  std::map<std::string, std::string> env = shop.AgentEnv();
  Subprocess doctor(args, env, out);
  if (!doctor.Wait(60000)) return run;
  run.exit_code = doctor.exit_code();
  run.out = ReadFile(out);
  Json::CharReaderBuilder b;
  std::string err;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  if (args.size() > 1 && args[1] == "--json")
    reader->parse(run.out.data(), run.out.data() + run.out.size(), &run.json, &err);
  return run;
}

class DoctorTest : public ::testing::Test {
 protected:
  void StartShop() {
    // The agent would start a stopped driver again at once; here it waits.
    shop_.AddSettings("[capture]\nservice_retry_ms=600000\n");
    ASSERT_TRUE(shop_.StartReady(/*redis_aof=*/false, 30000));
  }
  Shop shop_;
};

TEST_F(DoctorTest, WorkingShopPassesEveryCheckThatAppliesWithoutShowingSecrets) {
  StartShop();
  const DoctorRun run = RunDoctor(shop_, {"--json"});
  ASSERT_TRUE(run.json.isObject()) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_TRUE(run.json["ok"].asBool());
  EXPECT_EQ(run.json["problems"].asInt(), 0);
  // What this shop has must be checked and hold, not skipped.
  for (const char* id : {"agent", "config", "binding", "cloud", "redis", "driver-service", "driver-link", "till-ports",
                         "printer", "disk", "outbox", "log"})
    EXPECT_EQ(run.Status(id), "ok") << id << ": " << run.Field(id, "detail");
  // The shop has no keyboard filter on input devices and no CUPS capture.
  EXPECT_EQ(run.Status("scanner"), "skipped");
  EXPECT_EQ(run.Status("cups"), "skipped");
  EXPECT_NE(run.Field("cups", "detail").find("no tillcast queue"), std::string::npos);
  EXPECT_NE(run.Field("redis", "detail").find("print_jobs:dev-0001"), std::string::npos);
  // The shop's printer is also the one behind the till port: the capture
  // driver reads its answers too, and which reader gets one is chance.
  const std::string printer = run.Field("printer", "detail");
  EXPECT_TRUE(printer.find("answers its status request") != std::string::npos ||
              printer.find("also the printer behind the till port " + shop_.folder() + "/ports/till") !=
                  std::string::npos)
      << printer;
  EXPECT_NE(run.Field("till-ports", "detail").find(shop_.folder() + "/ports/till"), std::string::npos);

  // Neither the device key nor the store's secret is ever shown.
  Json::Value bind;
  Json::CharReaderBuilder b;
  std::string err;
  const std::string bound = ReadFile(shop_.DataFolder() + "/cloudbind.json");
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  ASSERT_TRUE(reader->parse(bound.data(), bound.data() + bound.size(), &bind, &err));
  const std::string secret = bind["result"]["secret"].asString();
  ASSERT_FALSE(secret.empty());
  EXPECT_EQ(run.out.find(secret), std::string::npos);
  EXPECT_EQ(run.out.find(Shop::kDeviceKey), std::string::npos);

  const DoctorRun text = RunDoctor(shop_, {});
  EXPECT_EQ(text.exit_code, 0) << text.out;
  EXPECT_NE(text.out.find("Every check that applies holds."), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find(secret), std::string::npos);
}

struct Outage {
  const char* name;
  void (*stop)(Shop&);
  const char* check;   // the check that names it
  const char* detail;  // words of what it found
  const char* fix;     // words of its fix
};

class DoctorOutageTest : public DoctorTest, public ::testing::WithParamInterface<Outage> {};

TEST_P(DoctorOutageTest, StoppedPartIsNamedWithItsFixAndFailsTheRun) {
  StartShop();
  const Outage& o = GetParam();
  o.stop(shop_);
  const DoctorRun run = RunDoctor(shop_, {"--json"});
  ASSERT_TRUE(run.json.isObject()) << run.out;
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(run.json["ok"].asBool());
  EXPECT_EQ(run.Status(o.check), "problem") << run.out;
  EXPECT_NE(run.Field(o.check, "detail").find(o.detail), std::string::npos) << run.Field(o.check, "detail");
  EXPECT_NE(run.Field(o.check, "fix").find(o.fix), std::string::npos) << run.Field(o.check, "fix");
  // The agent still runs, and says so.
  EXPECT_EQ(run.Status("agent"), "ok");

  const DoctorRun text = RunDoctor(shop_, {});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("PROBLEM"), std::string::npos);
  EXPECT_NE(text.out.find(std::string("fix: ")), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Parts, DoctorOutageTest,
                         ::testing::Values(Outage{"driver", [](Shop& s) { s.StopDriver(); }, "driver-service",
                                                  "is not running", "start the agent"},
                                           Outage{"cloud", [](Shop& s) { s.StopCloud(); }, "cloud", "cannot be reached",
                                                  "check the network"},
                                           Outage{"redis", [](Shop& s) { s.StopRedis(); }, "redis", "does not answer",
                                                  "start the Redis server"}),
                         [](const ::testing::TestParamInfo<Outage>& p) { return std::string(p.param.name); });

TEST_F(DoctorTest, StoppedDriverAlsoLeavesNoTillPortAndNoLink) {
  StartShop();
  shop_.StopDriver();
  ASSERT_TRUE(WaitUntil([&] { return !FileExists(shop_.folder() + "/ports/till"); }, 5000));
  const DoctorRun run = RunDoctor(shop_, {"--json"});
  EXPECT_EQ(run.Status("till-ports"), "problem");
  EXPECT_NE(run.Field("till-ports", "detail").find("is missing"), std::string::npos)
      << run.Field("till-ports", "detail");
  EXPECT_EQ(run.Status("driver-link"), "problem");
  // Redis and the cloud are unaffected.
  EXPECT_EQ(run.Status("redis"), "ok");
  EXPECT_EQ(run.Status("cloud"), "ok");
}

TEST_F(DoctorTest, StoppedCloudSkipsRedisSayingWhy) {
  StartShop();
  shop_.StopCloud();
  const DoctorRun run = RunDoctor(shop_, {"--json"});
  EXPECT_EQ(run.Status("redis"), "skipped");
  EXPECT_NE(run.Field("redis", "detail").find("cannot be reached"), std::string::npos) << run.Field("redis", "detail");
}

TEST_F(DoctorTest, UnknownCheckOrArgumentIsAUsageError) {
  Shop idle;  // nothing started: the command line is refused first
  EXPECT_EQ(RunDoctor(idle, {"--only", "nonsense"}).exit_code, 2);
  EXPECT_EQ(RunDoctor(idle, {"--frobnicate"}).exit_code, 2);
  const DoctorRun help = RunDoctor(idle, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
}

}  // namespace
}  // namespace tillcast::test
