// Software prefetches for the passes that stream through the design.
#pragma once

#include <algorithm>
#include <cstdint>

namespace vintrel::core {

// Keeps prefetches a fixed distance ahead of a sequential read. A single
// core streams the design from memory at about a third of the speed it
// reaches with lines requested this far ahead.
class ReadAhead {
 public:
  ReadAhead(const void* start, const void* limit)
      : next_(address(start) + kDistance), limit_(std::max(address(limit), address(start))) {}

  // Requests every line up to kDistance bytes past position, never past the
  // limit (a prefetch does not fault, but it should not waste a fill).
  [[gnu::always_inline]] void reached(const void* position) {
    const std::uintptr_t target = std::min(address(position) + kDistance, limit_);
    for (; next_ < target; next_ += kLine) __builtin_prefetch(reinterpret_cast<const void*>(next_), 0, 3);
  }

 private:
  static constexpr std::uintptr_t kDistance = 16 * 1024;  // well inside L1, enough lines in flight
  static constexpr std::uintptr_t kLine = 64;
  static std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

  std::uintptr_t next_;
  std::uintptr_t limit_;
};

}  // namespace vintrel::core
