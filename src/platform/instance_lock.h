// The named single-instance mutex of the agent.
#pragma once

#include <memory>
#include <set>
#include <string>

namespace tillcast::platform {

// A held lock; released when destroyed.
class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
};

class InstanceLockFactory {
 public:
  virtual ~InstanceLockFactory() = default;
  // Takes the lock called `name`. Sets *already_exists when another holder
  // has it (the returned lock is then null). A null result with
  // *already_exists false means the lock could not be created at all.
  virtual std::unique_ptr<InstanceLock> Create(const std::string& name, bool* already_exists) = 0;
};

// flock on <RuntimeFolder()>/<name>.lock; the kernel releases it when the
// process dies, so a crash never leaves a stale lock behind.
class FlockInstanceLockFactory final : public InstanceLockFactory {
 public:
  explicit FlockInstanceLockFactory(std::string folder = "");  // "" = RuntimeFolder()
  std::unique_ptr<InstanceLock> Create(const std::string& name, bool* already_exists) override;

 private:
  std::string folder_;
};

// In-process stand-in: names are held until their lock is destroyed.
class FakeInstanceLockFactory final : public InstanceLockFactory {
 public:
  std::unique_ptr<InstanceLock> Create(const std::string& name, bool* already_exists) override;
  std::set<std::string> held;
};

}  // namespace tillcast::platform
