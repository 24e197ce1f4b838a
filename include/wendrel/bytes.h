#pragma once
// A bounded, read-only view of stream bytes. Every read is checked against the
// view's end: bytes that lie outside read as zero, so a short or hostile value
// can never pull a read past the loaded buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace wendrel {

class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  constexpr ByteView(std::span<const std::uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

  constexpr const std::uint8_t* data() const { return data_; }
  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }

  // True when [offset, offset + count) lies wholly inside the view; never overflows.
  constexpr bool contains(std::size_t offset, std::size_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }

  constexpr std::uint8_t byte(std::size_t offset) const { return offset < size_ ? data_[offset] : 0; }

  constexpr std::uint16_t word(std::size_t offset) const {
    return static_cast<std::uint16_t>(at(offset, 0) | at(offset, 1) << 8);
  }

  constexpr std::uint32_t dword(std::size_t offset) const {
    return std::uint32_t{at(offset, 0)} | std::uint32_t{at(offset, 1)} << 8 |
           std::uint32_t{at(offset, 2)} << 16 | std::uint32_t{at(offset, 3)} << 24;
  }

  // The bytes from offset on, at most count of them; empty when offset is past the end.
  constexpr ByteView sub(std::size_t offset, std::size_t count = SIZE_MAX) const {
    if (offset >= size_) return ByteView(data_ + size_, 0);
    std::size_t left = size_ - offset;
    return ByteView(data_ + offset, count < left ? count : left);
  }

 private:
  // Byte i of the field at offset, or 0 when it lies outside the view.
  constexpr std::uint8_t at(std::size_t offset, std::size_t i) const {
    return offset < size_ && i < size_ - offset ? data_[offset + i] : 0;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// 8-bit text up to its first NUL (the whole view when it has none).
inline ByteView untilNul(ByteView text) {
  const void* nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size());
  if (nul == nullptr) return text;
  return text.sub(0, static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - text.data()));
}

// Receives bytes in blocks, in order, each valid only during the call;
// returning false stops whatever produces them.
using BlockSink = bool (*)(ByteView block, void* context);

}  // namespace wendrel
