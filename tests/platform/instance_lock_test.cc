#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

TEST(InstanceLock, SecondHolderIsToldItExistsUntilTheFirstLetsGo) {
  test::TempDir dir;
  FlockInstanceLockFactory factory(dir.path());
  bool exists = true;
  auto first = factory.Create("Tillcast", &exists);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(exists);
  auto second = factory.Create("Tillcast", &exists);
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(exists);
  auto other = factory.Create("Other", &exists);
  EXPECT_NE(other, nullptr);
  first.reset();
  auto third = factory.Create("Tillcast", &exists);
  EXPECT_NE(third, nullptr);
  EXPECT_FALSE(exists);
}

TEST(InstanceLock, UncreatableLockIsNotAnExistingOne) {
  FlockInstanceLockFactory factory("/nonexistent-folder-for-tillcast");
  bool exists = true;
  EXPECT_EQ(factory.Create("Tillcast", &exists), nullptr);
  EXPECT_FALSE(exists);
}

}  // namespace
}  // namespace tillcast::platform
