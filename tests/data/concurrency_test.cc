#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/text_util.h"
#include "data/data_mgr.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

// The UI thread, the job fetch thread and the cloud workers at once; also
// meant for a ThreadSanitizer build.
TEST(DataMgrConcurrency, TablesQueueAndMessageStayConsistent) {
  test::TempDir dir;
  test::ScopedEnv env("XDG_DATA_HOME", dir.path());
  test::ScopedLog log;
  ResetDataFolderForTest();
  DataMgr& mgr = DataMgr::GetInstance();
  mgr.ResetForTest();
  mgr.Init();

  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> popped{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&mgr, &popped, t] {
      const std::string own = "key" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        const std::string value = std::to_string(i);
        mgr.SetConfig(own, value);
        mgr.SetConfig("Shared", value);
        mgr.SetBindInfo(own, value);
        EXPECT_EQ(mgr.GetConfig(own), value);
        EXPECT_EQ(mgr.GetBindInfo(own), value);
        mgr.PushOrderInfo(OrderInfo{own + "-" + value, "", "", "", i, {}});
        OrderInfo out;
        if (mgr.PopOrderInfo(out)) ++popped;
        if (i % 50 == 0) {
          mgr.SetLastMessage(own);
          mgr.GetLastMessage();
          mgr.ProcessPrintJob(R"({"format":"escpos","data":"G0A=","job_id":"c"})");
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();

  OrderInfo out;
  while (mgr.PopOrderInfo(out)) ++popped;
  EXPECT_EQ(popped.load(), kThreads * kRounds);
  EXPECT_EQ(mgr.GetLastMessage().rfind("key", 0), 0u);
  mgr.ResetForTest();
  ResetDataFolderForTest();
}

}  // namespace
}  // namespace tillcast
