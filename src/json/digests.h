#pragma once
// SHA-256 digests (GLib's GChecksum) of what the library hands over: a block
// of its memory, hashed in place in one pass, or a body given in pieces.

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace wendrel::json {

class Sha256 {
 public:
  Sha256() : checksum_(g_checksum_new(G_CHECKSUM_SHA256)) {}
  ~Sha256() { g_checksum_free(checksum_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* bytes, std::size_t size);
  // 64 lowercase hexadecimal digits; the digest is final after this.
  std::string hex() const { return g_checksum_get_string(checksum_); }
  std::uint64_t size() const { return size_; }

  // A wendrel_write_fn whose context is a Sha256.
  static int sink(void* digest, const void* bytes, std::size_t size);

 private:
  GChecksum* checksum_;
  std::uint64_t size_ = 0;
};

// The digests of blocks of the decoded messages, each block hashed once
// however often it is named (an attachment's data and a property holding
// the same bytes, say).
class BlockDigests {
 public:
  const std::string& of(const std::uint8_t* bytes, std::size_t size);

 private:
  std::map<std::pair<const std::uint8_t*, std::size_t>, std::string> known_;
};

}  // namespace wendrel::json
