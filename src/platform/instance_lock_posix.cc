#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/env.h"
#include "platform/instance_lock.h"

namespace tillcast::platform {
namespace {

class FlockInstanceLock final : public InstanceLock {
 public:
  explicit FlockInstanceLock(int fd) : fd_(fd) {}
  ~FlockInstanceLock() override { close(fd_); }

 private:
  int fd_;
};

class FakeInstanceLock final : public InstanceLock {
 public:
  FakeInstanceLock(FakeInstanceLockFactory* owner, std::string name) : owner_(owner), name_(std::move(name)) {}
  ~FakeInstanceLock() override { owner_->held.erase(name_); }

 private:
  FakeInstanceLockFactory* owner_;
  std::string name_;
};

}  // namespace

FlockInstanceLockFactory::FlockInstanceLockFactory(std::string folder) : folder_(std::move(folder)) {}

std::unique_ptr<InstanceLock> FlockInstanceLockFactory::Create(const std::string& name, bool* already_exists) {
  *already_exists = false;
  const std::string dir = folder_.empty() ? RuntimeFolder() : folder_;
  const std::string path = dir + "/" + name + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *already_exists = (errno == EWOULDBLOCK);
    close(fd);
    return nullptr;
  }
  return std::make_unique<FlockInstanceLock>(fd);
}

std::unique_ptr<InstanceLock> FakeInstanceLockFactory::Create(const std::string& name, bool* already_exists) {
  *already_exists = held.count(name) != 0;
  if (*already_exists) return nullptr;
  held.insert(name);
  return std::make_unique<FakeInstanceLock>(this, name);
}

}  // namespace tillcast::platform
