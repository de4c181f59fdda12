// Bytes on their way from the till to the printer. Appended in the pieces
// the till's port gave, written from the front without moving what follows
// (a slow printer never makes the driver copy its backlog again and again),
// each piece stamped with the time it arrived so that bytes for a printer
// that is gone can be dropped by age.
//
// Not thread-safe: the driver's loop thread owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace tillcast::serialfilter {

class ByteQueue {
 public:
  void Append(const uint8_t* data, size_t size, uint64_t now_ms);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Writes as much as `fd` takes now (non-blocking descriptors). False on a
  // write error other than EAGAIN and EINTR, with errno kept.
  bool FlushTo(int fd);

  // Drops the pieces that arrived before `cutoff_ms`. Bytes dropped.
  size_t DropArrivedBefore(uint64_t cutoff_ms);
  // Drops from the front until at most `limit` bytes are left. Bytes dropped.
  size_t DropToLimit(size_t limit);

 private:
  struct Piece {
    std::string bytes;
    size_t sent = 0;  // bytes of this piece already written
    uint64_t at_ms = 0;
  };
  // Small reads are joined into the last piece while it is young and small,
  // so a till writing byte by byte does not cost a piece per byte.
  static constexpr size_t kJoinBytes = 4096;
  static constexpr uint64_t kJoinMs = 1000;
  void PopFront();

  std::deque<Piece> pieces_;
  size_t size_ = 0;
};

}  // namespace tillcast::serialfilter
