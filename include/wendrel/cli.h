#pragma once
// The command-line front end: argument scan, loading, hex dump and usage.

#include <cstdint>
#include <optional>
#include <span>

namespace wendrel::cli {

enum class Outcome { decode, help, wrongCount };

struct Arguments {
  Outcome outcome = Outcome::decode;
  const char* fileName = nullptr;  // one of the argument strings, not a copy
  int verbose = 0;
  int saveFiles = 0;
  int dumpHex = 0;
};

// One to three arguments; each is an option only when it is exactly "-v",
// "-s", "-h" or "-d", anything else is the file name (the last one wins). When
// every argument is an option the first one is the file name.
Arguments scanArguments(int argc, const char* const* argv);

// Loads the whole file into one block that lives until the process ends. On
// failure prints the step's error line(s) on standard error and returns nothing.
std::optional<std::span<const std::uint8_t>> loadStream(const char* fileName);

// True when the loaded file shrank while the stream was read: the bytes it lost
// read as zeros, and the run must fail.
bool streamShrank();

// Files at or above this size are refused before anything is allocated.
inline constexpr std::int64_t kMaxStreamSize = std::int64_t{1} << 31;

// Rows of 32 bytes in eight groups of four, each group after one blank, every
// row after a newline; one newline closes the dump.
void writeHexDump(std::span<const std::uint8_t> bytes);

// The row kernels of the dump, fastest first, for tests and benchmarks. Each
// writes `rows` whole rows of 73 characters (newline, eight groups) and returns
// the end; it may store up to kRowSlack bytes beyond it.
inline constexpr std::size_t kRowChars = 73;
inline constexpr std::size_t kRowSlack = 16;
struct RowFormatter {
  using Function = char* (*)(char* out, const std::uint8_t* bytes, std::size_t rows);
  const char* name;
  Function format;
};
std::span<const RowFormatter> rowFormatters();
bool rowFormatterUsable(const RowFormatter& formatter);  // this processor runs it

void printUsage(const char* invocationName);

}  // namespace wendrel::cli
