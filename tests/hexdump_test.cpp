// The dump's row kernels and layout, checked in-process against a plain
// printf-style rendering.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "process.h"
#include "wendrel/cli.h"
#include "wendrel/output.h"

namespace wendrel::test {
namespace {

std::string reference(const Bytes& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    if (i % 32 == 0) text += '\n';
    if (i % 4 == 0) text += ' ';
    text += digits;
  }
  return text + '\n';
}

// Bytes in which every value appears at every position of a group and a row.
Bytes mixedBytes(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return bytes;
}

// What writeHexDump sends to standard output.
std::string dumped(const Bytes& bytes) {
  TempDir dir;
  std::fflush(stdout);
  int saved = ::dup(STDOUT_FILENO);
  std::FILE* file = std::fopen((dir / "out").c_str(), "w");
  ::dup2(::fileno(file), STDOUT_FILENO);
  cli::writeHexDump(bytes);
  out::flush();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::fclose(file);
  return readFile(dir / "out");
}

TEST(HexDumpKernels, EveryKernelMatchesTheReference) {
  const std::size_t rows = 300;  // 9600 bytes: every value in every column
  Bytes bytes = mixedBytes(rows * 32);
  std::string expected = reference(bytes);
  expected.pop_back();  // the kernels write whole rows only, without the closing newline
  int ran = 0;
  for (const cli::RowFormatter& formatter : cli::rowFormatters()) {
    if (!cli::rowFormatterUsable(formatter)) continue;
    std::string text(rows * cli::kRowChars + cli::kRowSlack, '#');
    char* end = formatter.format(text.data(), bytes.data(), rows);
    ASSERT_EQ(static_cast<std::size_t>(end - text.data()), rows * cli::kRowChars) << formatter.name;
    text.resize(rows * cli::kRowChars);
    EXPECT_EQ(text, expected) << formatter.name;
    ++ran;
  }
  EXPECT_GE(ran, 1);
}

TEST(HexDumpLayout, EveryRowLengthAndBufferBoundaries) {
  std::vector<std::size_t> sizes;
  for (std::size_t size = 0; size <= 70; ++size) sizes.push_back(size);
  // Sizes whose output crosses the output buffer's end at every position of a row.
  std::size_t rowsPerBuffer = out::kBufferSize / cli::kRowChars;
  for (std::size_t extra = 0; extra < 40; ++extra) sizes.push_back(rowsPerBuffer * 32 + extra * 7);
  sizes.push_back(3 * out::kBufferSize + 5);
  for (std::size_t size : sizes) {
    Bytes bytes = mixedBytes(size);
    EXPECT_EQ(dumped(bytes), reference(bytes)) << size;
  }
}

}  // namespace
}  // namespace wendrel::test
