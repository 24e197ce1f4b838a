// Loads the named file whole into one block with one read request. The block
// is never freed: the decoder reads it in place until the process ends.

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
  // An empty file still gets a block: allocating nothing is not a failure.
  auto* block = static_cast<std::uint8_t*>(std::malloc(bytes != 0 ? bytes : 1));
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
