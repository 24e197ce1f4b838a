// SHA-256 digests (see digests.h).

#include "digests.h"

#include <algorithm>

namespace wendrel::json {

void Sha256::update(const void* bytes, std::size_t size) {
  // (GChecksum takes a gssize: a block larger than that goes in parts.)
  constexpr std::size_t kLargestChunk = std::size_t{1} << 30;
  const auto* at = static_cast<const guchar*>(bytes);
  size_ += size;
  while (size != 0) {
    std::size_t part = std::min(size, kLargestChunk);
    g_checksum_update(checksum_, at, static_cast<gssize>(part));
    at += part;
    size -= part;
  }
}

int Sha256::sink(void* digest, const void* bytes, std::size_t size) {
  static_cast<Sha256*>(digest)->update(bytes, size);
  return 0;
}

const std::string& BlockDigests::of(const std::uint8_t* bytes, std::size_t size) {
  auto [place, added] = known_.try_emplace({bytes, size});
  if (added) {
    Sha256 digest;
    digest.update(bytes, size);
    place->second = digest.hex();
  }
  return place->second;
}

}  // namespace wendrel::json
