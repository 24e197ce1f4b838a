// Loads the named file whole into one block with one read request. The block
// is never freed: the decoder reads it in place until the process ends.

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "wendrel/cli.h"

namespace wendrel::cli {

namespace {

// Held here so the block stays reachable for the whole run, and leak checkers
// see it so. Nothing reads the pointer: without volatile the optimiser drops
// the store and the block looks lost at exit.
std::uint8_t* volatile loadedBlock = nullptr;

// Large streams get a block of transparent huge pages: reading them in takes far
// fewer page faults and walking them far fewer TLB misses. The block is aligned
// to the huge-page size so that every whole 2 MiB of it can be backed by one.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::uint8_t* allocateBlock(std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes >= 2 * kHugePage) {
    std::size_t length = (bytes + 2 * kHugePage - 1) & ~(kHugePage - 1);
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    auto address = (reinterpret_cast<std::uintptr_t>(mapping) + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    // Only whole huge pages: a partial last one would make the resident size
    // up to 2 MiB larger than the file.
    madvise(reinterpret_cast<void*>(address), bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
    return reinterpret_cast<std::uint8_t*>(address);
  }
#endif
  // An empty file still gets a block: allocating nothing is not a failure.
  return static_cast<std::uint8_t*>(std::malloc(bytes != 0 ? bytes : 1));
}

std::optional<std::int64_t> fileSize(const char* fileName) {
  struct stat status {};
  if (stat(fileName, &status) == -1) {
    std::fprintf(stderr, "Error stating file %s\n", fileName);
    std::perror("stat");
    return std::nullopt;
  }
  std::int64_t size = status.st_size;
  if (size >= kMaxStreamSize) {
    std::fprintf(stderr, "File %s is too large to load: %lld bytes\n", fileName,
                 static_cast<long long>(size));
    return std::nullopt;
  }
  return size;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> loadStream(const char* fileName) {
  std::optional<std::int64_t> size = fileSize(fileName);
  if (!size) return std::nullopt;
  auto bytes = static_cast<std::size_t>(*size);
  std::uint8_t* block = allocateBlock(bytes);
  loadedBlock = block;
  if (block == nullptr) {
    std::fprintf(stderr, "Error allocating %d bytes for loading file\n", static_cast<int>(*size));
    return std::nullopt;
  }
  std::FILE* file = std::fopen(fileName, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "Error openning file %s\n", fileName);
    std::perror("fopen");
    return std::nullopt;
  }
  // No stdio buffer: the one request goes straight into the block.
  std::setvbuf(file, nullptr, _IONBF, 0);
  if (std::fread(block, 1, bytes, file) < bytes) {
    std::fprintf(stderr, "Error reading stream from file %s\n", fileName);
    std::perror("fread");
    return std::nullopt;
  }
  std::fclose(file);
  return std::span<const std::uint8_t>(block, bytes);
}

}  // namespace wendrel::cli
