// The dump's row kernels and layout, checked in-process against a plain
// printf-style rendering, and the output layer's copy of short texts.

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

// What the output layer sends to standard output while write runs.
template <typename Write>
std::string captured(Write write) {
  TempDir dir;
  std::fflush(stdout);
  int saved = ::dup(STDOUT_FILENO);
  std::FILE* file = std::fopen((dir / "out").c_str(), "w");
  ::dup2(::fileno(file), STDOUT_FILENO);
  write();
  out::flush();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::fclose(file);
  return readFile(dir / "out");
}

std::string dumped(const Bytes& bytes) {
  return captured([&] { cli::writeHexDump(bytes); });
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

TEST(OutputText, EveryShortLengthAtManyBufferOffsets) {
  // Texts of every length up to past the inline copy's limit, each one byte
  // off from the last, so each length lands at many offsets and across the
  // buffer's end.
  std::string source;
  for (std::size_t i = 0; i < 300; ++i) source += static_cast<char>('!' + i % 90);
  std::string expected;
  std::vector<std::string_view> pieces;
  for (std::size_t round = 0; expected.size() < 2 * out::kBufferSize + 1000; ++round) {
    for (std::size_t length = 0; length <= 70; ++length) {
      std::string_view piece(source.data() + (round + length) % 200, length);
      pieces.push_back(piece);
      expected += piece;
    }
  }
  pieces.push_back(source);
  expected += source;
  EXPECT_EQ(captured([&] {
              for (std::string_view piece : pieces) out::text(piece);
            }),
            expected);
}

}  // namespace
}  // namespace wendrel::test
