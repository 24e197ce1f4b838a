#pragma once
// Constant-time lookup in a fixed set of 32-bit IDs: a multiplicative hash
// into 2^SlotBits slots, with a multiplier found at compile time under which no
// two IDs of the set share a slot. One multiply, one load, one compare. A set
// of n IDs wants about n * n / 2 slots for a multiplier to be found quickly.

#include <array>
#include <cstddef>
#include <cstdint>

namespace wendrel {

template <std::size_t N, unsigned SlotBits = 7>
class IdIndex {
  static constexpr std::size_t kSlots = std::size_t{1} << SlotBits;
  static_assert(N <= kSlots / 2 && N <= 32767, "more slots for a larger set");

 public:
  template <typename Row, typename Field>
  consteval IdIndex(const std::array<Row, N>& rows, Field Row::*id) {
    std::array<std::uint32_t, N> ids{};
    for (std::size_t i = 0; i < N; ++i) ids[i] = rows[i].*id;
    for (std::uint32_t attempt = 0; attempt < 100000 && !complete_; ++attempt) {
      multiplier_ = (0x9E3779B9u + attempt * 0x632BE5ABu) | 1u;
      complete_ = place(ids);
    }
  }

  // False only if no multiplier was found; checked with static_assert.
  constexpr bool complete() const { return complete_; }

  // The position of id in the rows the index was built from, or -1.
  constexpr int find(std::uint32_t id) const {
    std::size_t slot = slotOf(id);
    return position_[slot] >= 0 && ids_[slot] == id ? position_[slot] : -1;
  }

 private:
  constexpr std::size_t slotOf(std::uint32_t id) const { return (id * multiplier_) >> (32 - SlotBits); }

  constexpr bool place(const std::array<std::uint32_t, N>& ids) {
    position_.fill(-1);
    for (std::size_t i = 0; i < N; ++i) {
      std::size_t slot = slotOf(ids[i]);
      if (position_[slot] >= 0) return false;
      position_[slot] = static_cast<std::int16_t>(i);
      ids_[slot] = ids[i];
    }
    return true;
  }

  bool complete_ = false;
  std::uint32_t multiplier_ = 0;
  std::array<std::uint32_t, kSlots> ids_{};
  std::array<std::int16_t, kSlots> position_{};
};

}  // namespace wendrel
