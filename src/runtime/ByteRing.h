#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmar::runtime {

// Bytes addressed by an ever-growing position that wraps at the capacity:
// the storage of the single-producer rings (audio frames on their way out,
// buffers on their way to conversion). Every byte is touched here, so a
// real-time producer never takes a page fault on it. Positions and who may
// copy where are the owner's business.
class ByteRing {
 public:
  explicit ByteRing(std::size_t capacity) : capacity_(capacity), bytes_(new char[capacity]) {
    std::memset(bytes_.get(), 0, capacity_);
  }

  std::size_t capacity() const { return capacity_; }

  void copyIn(std::uint64_t position, const void* data, std::size_t size) {
    const std::size_t at = position % capacity_;
    const std::size_t first = std::min(size, capacity_ - at);
    std::memcpy(bytes_.get() + at, data, first);
    std::memcpy(bytes_.get(), static_cast<const char*>(data) + first, size - first);
  }

  void copyOut(std::uint64_t position, void* data, std::size_t size) const {
    const std::size_t at = position % capacity_;
    const std::size_t first = std::min(size, capacity_ - at);
    std::memcpy(data, bytes_.get() + at, first);
    std::memcpy(static_cast<char*>(data) + first, bytes_.get(), size - first);
  }

 private:
  const std::size_t capacity_;
  std::unique_ptr<char[]> bytes_;
};

}  // namespace velmar::runtime
