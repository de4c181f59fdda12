#include "byte_queue.h"

#include <errno.h>
#include <sys/uio.h>

namespace tillcast::serialfilter {

void ByteQueue::Append(const uint8_t* data, size_t size, uint64_t now_ms) {
  if (size == 0) return;
  const char* bytes = reinterpret_cast<const char*>(data);
  if (!pieces_.empty()) {
    Piece& last = pieces_.back();
    if (last.bytes.size() + size <= kJoinBytes && now_ms - last.at_ms < kJoinMs) {
      last.bytes.append(bytes, size);
      size_ += size;
      return;
    }
  }
  pieces_.push_back({std::string(bytes, size), 0, now_ms});
  size_ += size;
}

void ByteQueue::PopFront() {
  size_ -= pieces_.front().bytes.size() - pieces_.front().sent;
  pieces_.pop_front();
}

bool ByteQueue::FlushTo(int fd) {
  constexpr int kMaxIov = 16;
  while (!pieces_.empty()) {
    iovec iov[kMaxIov];
    int count = 0;
    for (auto it = pieces_.begin(); it != pieces_.end() && count < kMaxIov; ++it, ++count) {
      iov[count].iov_base = it->bytes.data() + it->sent;
      iov[count].iov_len = it->bytes.size() - it->sent;
    }
    const ssize_t n = writev(fd, iov, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (n == 0) return true;
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      Piece& front = pieces_.front();
      const size_t rest = front.bytes.size() - front.sent;
      if (left >= rest) {
        left -= rest;
        PopFront();
      } else {
        front.sent += left;
        size_ -= left;
        left = 0;
      }
    }
  }
  return true;
}

size_t ByteQueue::DropArrivedBefore(uint64_t cutoff_ms) {
  size_t dropped = 0;
  while (!pieces_.empty() && pieces_.front().at_ms < cutoff_ms) {
    dropped += pieces_.front().bytes.size() - pieces_.front().sent;
    PopFront();
  }
  return dropped;
}

size_t ByteQueue::DropToLimit(size_t limit) {
  size_t dropped = 0;
  while (size_ > limit) {
    Piece& front = pieces_.front();
    const size_t rest = front.bytes.size() - front.sent;
    const size_t excess = size_ - limit;
    if (rest <= excess) {
      dropped += rest;
      PopFront();
    } else {
      front.sent += excess;
      size_ -= excess;
      dropped += excess;
    }
  }
  return dropped;
}

}  // namespace tillcast::serialfilter
