// The order road: an order job makes the agent look the order up at the
// order service and open its order window, whose controls show the order.
// The window's picture is kept as a test artifact (build/e2e-artifacts).
#include <gtest/gtest.h>

#include <filesystem>

#include <json/json.h>

#include "shop.h"

namespace tillcast::test {
namespace {

namespace fs = std::filesystem;

// The first complete snapshot of a window class, or "" (its JSON path).
std::string SnapshotOf(const std::string& folder, const std::string& window_class) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(window_class + "-", 0) == 0 && e.path().extension() == ".json") return e.path().string();
  }
  return "";
}

// name -> texts, in tree order.
std::multimap<std::string, std::string> Controls(const std::string& json_path) {
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string error;
  std::istringstream in(ReadFile(json_path));
  std::multimap<std::string, std::string> out;
  if (!Json::parseFromStream(b, in, &root, &error)) return out;
  for (const auto& c : root["controls"]) out.emplace(c["name"].asString(), c["text"].asString());
  return out;
}

std::vector<std::string> TextsOf(const std::multimap<std::string, std::string>& controls, const std::string& name) {
  std::vector<std::string> out;
  for (auto [it, end] = controls.equal_range(name); it != end; ++it) out.push_back(it->second);
  return out;
}

TEST(OrderRoad, OrderJobOpensTheOrderWindowWithTheOrder) {
  Shop shop;  // the simulator's demo store: order O20240001
  ASSERT_TRUE(shop.StartReady());

  ASSERT_TRUE(shop.PushOrder("O20240001"));
  std::string snapshot;
  ASSERT_TRUE(WaitUntil([&] { return !(snapshot = SnapshotOf(shop.SnapshotFolder(), "CvsOrderWnd")).empty(); }, 15000))
      << "no order window was shown; log:\n"
      << shop.AgentLog();

  const auto controls = Controls(snapshot);
  EXPECT_EQ(TextsOf(controls, "lbl_order_no"), std::vector<std::string>{U8(u8"订单号：O20240001")});
  EXPECT_EQ(TextsOf(controls, "lbl_pay_time"), std::vector<std::string>{U8(u8"支付时间：2024-05-01 12:30:00")});
  EXPECT_EQ(TextsOf(controls, "lbl_total_num"), std::vector<std::string>{"x3"});
  EXPECT_EQ(TextsOf(controls, "lbl_amount"), std::vector<std::string>{U8(u8"￥36.50")});
  EXPECT_EQ(TextsOf(controls, "lbl_pay_amount"), std::vector<std::string>{U8(u8"￥35.00")});
  EXPECT_EQ(TextsOf(controls, "lbl_item_name"), (std::vector<std::string>{U8(u8"矿泉水"), U8(u8"三明治")}));

  // The picture: a PNG of the whole window.
  const std::string png = snapshot.substr(0, snapshot.size() - 5) + ".png";
  const std::string picture = ReadFile(png);
  ASSERT_GT(picture.size(), 1000u) << png;
  EXPECT_EQ(picture.substr(0, 8), "\x89PNG\r\n\x1a\n");
  const fs::path artifacts = fs::path(BinDir()).parent_path() / "e2e-artifacts";
  std::error_code ec;
  fs::create_directories(artifacts, ec);
  fs::copy_file(png, artifacts / "order-window.png", fs::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << "could not keep the picture: " << ec.message();
}

}  // namespace
}  // namespace tillcast::test
