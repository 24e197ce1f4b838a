// Loads the named file whole into one block that the decoder reads in place
// until the process ends; the block is never freed. A regular file is mapped:
// the pages the kernel already holds for it become the block, with no copy and
// no fresh memory to clear, which was a third of a long run's time; one the
// kernel will not map is read with one read request of its size. Anything
// else (a pipe, a FIFO, a device) has no size to go by and is read to its end.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "wendrel/cli.h"
#include "wendrel/tnef.h"

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

// The mapped stream, for the bus-error handler. A file that shrinks while it is
// mapped makes the pages past its new end fault; the handler puts zeros in
// their place, so the decoder (which is safe on any bytes) runs to its end,
// and the run then fails.
const std::uint8_t* volatile mappedStart = nullptr;
volatile std::size_t mappedLength = 0;
volatile std::uintptr_t pageSize = 0;  // taken before: sysconf is not safe in a handler
volatile std::sig_atomic_t mappingShrank = 0;

void onBusError(int, siginfo_t* info, void*) {
  auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  auto start = reinterpret_cast<std::uintptr_t>(mappedStart);
  std::size_t length = mappedLength;
  std::uintptr_t page = pageSize;
  // mmap is a plain system call here, which a handler may make.
  if (start != 0 && address >= start && address - start < length) {
    std::uintptr_t first = address & ~(page - 1);
    std::uintptr_t end = (start + length + page - 1) & ~(page - 1);
    void* zeros = mmap(reinterpret_cast<void*>(first), end - first, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      mappingShrank = 1;
      return;  // the access is made again, and now reads zeros
    }
  }
  // Any other bus error is a fault of the program's own: on return it
  // happens again and ends the run as it would have without this handler.
  signal(SIGBUS, SIG_DFL);
}

bool guardMapping(const std::uint8_t* start, std::size_t length) {
  long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return false;
  pageSize = static_cast<std::uintptr_t>(page);
  struct sigaction action {};
  action.sa_sigaction = onBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, nullptr) != 0) return false;
  mappedStart = start;
  mappedLength = length;
  return true;
}

// Maps a regular, non-empty file read-only; nothing when it cannot, and the
// caller then reads it. A file already shorter than its stat size is read, so
// that it fails as a short read does.
std::uint8_t* mapFile(const char* fileName, std::size_t bytes) {
  if (bytes == 0) return nullptr;
  int descriptor = open(fileName, O_RDONLY | O_CLOEXEC);
  if (descriptor == -1) return nullptr;
  struct stat status {};
  void* mapping = MAP_FAILED;
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0 &&
      static_cast<std::uint64_t>(status.st_size) >= bytes) {
    // Populated up front: one call instead of a fault for every few pages.
    mapping = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
  }
  close(descriptor);  // the mapping keeps the file
  if (mapping == MAP_FAILED) return nullptr;
  auto* block = static_cast<std::uint8_t*>(mapping);
  if (!guardMapping(block, bytes)) {
    munmap(mapping, bytes);
    return nullptr;
  }
  return block;
}

void reportTooLarge(const char* fileName, std::int64_t size) {
  std::fprintf(stderr, "File %s is too large to load: %lld bytes\n", fileName, static_cast<long long>(size));
}

// What stat says of the file: its size, and whether that size is the
// number of bytes a read will give (a regular file's is; a pipe's is 0).
struct FileStatus {
  std::int64_t size;
  bool sized;
};

std::optional<FileStatus> fileStatus(const char* fileName) {
  struct stat status {};
  if (stat(fileName, &status) == -1) {
    std::fprintf(stderr, "Error stating file %s\n", fileName);
    std::perror("stat");
    return std::nullopt;
  }
  protectFromSaves(static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino));
  FileStatus file{status.st_size, S_ISREG(status.st_mode)};
  if (file.sized && file.size >= kMaxStreamSize) {
    reportTooLarge(fileName, file.size);
    return std::nullopt;
  }
  return file;
}

std::FILE* openForReading(const char* fileName) {
  std::FILE* file = std::fopen(fileName, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "Error openning file %s\n", fileName);
    std::perror("fopen");
    return nullptr;
  }
  // No stdio buffer: each request goes straight into the block.
  std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

void reportReadError(const char* fileName) {
  std::fprintf(stderr, "Error reading stream from file %s\n", fileName);
  std::perror("fread");
}

// A file of known size: one read request of that size.
std::optional<std::span<const std::uint8_t>> readSized(const char* fileName, std::size_t bytes) {
  std::uint8_t* block = allocateBlock(bytes);
  loadedBlock = block;
  if (block == nullptr) {
    std::fprintf(stderr, "Error allocating %d bytes for loading file\n", static_cast<int>(bytes));
    return std::nullopt;
  }
  std::FILE* file = openForReading(fileName);
  if (file == nullptr) return std::nullopt;
  if (std::fread(block, 1, bytes, file) < bytes) {
    reportReadError(fileName);
    return std::nullopt;
  }
  std::fclose(file);
  return std::span<const std::uint8_t>(block, bytes);
}

// A pipe, a FIFO or a device: read to its end into a block that doubles as
// it fills (realloc moves the pages of a large one, it does not copy them).
// Reading stops at kMaxStreamSize bytes, one more than a stream may hold.
std::optional<std::span<const std::uint8_t>> readToEnd(const char* fileName) {
  std::FILE* file = openForReading(fileName);
  if (file == nullptr) return std::nullopt;
  std::size_t capacity = 0, size = 0;
  std::uint8_t* block = nullptr;
  for (;;) {
    if (size == capacity) {
      if (capacity == static_cast<std::size_t>(kMaxStreamSize)) {
        reportTooLarge(fileName, static_cast<std::int64_t>(size));
        return std::nullopt;
      }
      std::size_t grown = capacity == 0 ? std::size_t{64} << 10 : 2 * capacity;
      auto* larger = static_cast<std::uint8_t*>(std::realloc(block, grown));
      if (larger == nullptr) {
        std::fprintf(stderr, "Error allocating %lld bytes for loading file\n", static_cast<long long>(grown));
        return std::nullopt;
      }
      loadedBlock = block = larger;
      capacity = grown;
    }
    std::size_t wanted = capacity - size;
    std::size_t count = std::fread(block + size, 1, wanted, file);
    size += count;
    if (count == wanted) continue;
    // Short: the end, or a failure.
    if (std::ferror(file)) {
      reportReadError(fileName);
      return std::nullopt;
    }
    break;
  }
  std::fclose(file);
  return std::span<const std::uint8_t>(block, size);
}

}  // namespace

std::optional<std::span<const std::uint8_t>> loadStream(const char* fileName) {
  std::optional<FileStatus> status = fileStatus(fileName);
  if (!status) return std::nullopt;
  if (!status->sized) return readToEnd(fileName);
  auto bytes = static_cast<std::size_t>(status->size);
  if (std::uint8_t* mapped = mapFile(fileName, bytes)) {
    loadedBlock = mapped;
    return std::span<const std::uint8_t>(mapped, bytes);
  }
  return readSized(fileName, bytes);
}

bool streamShrank() { return mappingShrank != 0; }

}  // namespace wendrel::cli
