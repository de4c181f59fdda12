// A fresh data folder, DataMgr, log and cloud settings for each test; and
// the same with a redis-server and tillcast-cloudsim to talk to.
#pragma once

#include <gtest/gtest.h>

#include "base/process_settings.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "net/cloud_settings.h"
#include "net/net_mgr.h"
#include "net/rest_client.h"
#include "net_test_support.h"
#include "support/test_support.h"

namespace tillcast::test {

class NetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDataFolderForTest();
    data().ResetForTest();
    SetCloudSettings(CloudSettings());
    GetProcessSettings() = ProcessSettings();
    data().SetConfig("PortName", "COM1");
    data().SetConfig("Version", "1.1.4.26");
    data().SetConfig("DeviceFormat", "escpos");
  }
  void TearDown() override {
    RestClient::SetRequestTimeoutForTest(5);
    GetProcessSettings() = ProcessSettings();
    SetCloudSettings(CloudSettings());
    data().ResetForTest();
    ResetDataFolderForTest();
  }
  static DataMgr& data() { return DataMgr::GetInstance(); }

  TempDir dir_;
  ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
  ScopedLog log_;
};

// NetFixture with tillcast-cloudsim on a redis-server of its own, in
// database `Db` (not 0, so the job connection's SELECT counts), and the
// cloud settings pointing at the simulator.
template <int Db>
class CloudSimFixture : public NetFixture {
 protected:
  static constexpr int kDb = Db;
  void SetUp() override {
    NetFixture::SetUp();
    ASSERT_TRUE(redis_.up());
    ASSERT_TRUE(sim_.ok()) << sim_.LogText();
    data().SetConfig("URL", sim_.url());
    CloudSettings s;
    s.orderUrl = sim_.url();
    SetCloudSettings(s);
  }
  // The simulator's demo device bound with `key` and its job connection
  // made.
  void BindDevice(NetMgr& net, const std::string& key = "DEMO-KEY-0001") {
    data().SetConfig("secret", key);
    ASSERT_TRUE(net.GetConnectionInfo()) << sim_.LogText();
    ASSERT_TRUE(net.CreateConnection()) << sim_.LogText();
  }

  RedisServer redis_;
  CloudSim sim_{redis_, Db};
};

}  // namespace tillcast::test
