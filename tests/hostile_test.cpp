// Input built to break the decoder: every prefix and many corruptions of real
// streams decoded in-process (under the sanitizers in the sanitized build),
// lengths and counts at the edges of their ranges, and the real streams under
// valgrind.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <span>

#include "process.h"
#include "wendrel/decoder.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

// The ASAN_*_MEMORY_REGION macros do nothing in builds without AddressSanitizer.
#include <sanitizer/asan_interface.h>

namespace wendrel::test {
namespace {

// Sanitizer reports go to fd, whatever fd 2 is at the time.
void sanitizerReportsTo([[maybe_unused]] int fd) {
#if WENDREL_SANITIZED
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
#endif
}

// While alive, the process's standard output and error go to /dev/null (the
// decoder writes thousands of lines per stream), but sanitizer reports still
// reach the real standard error. The working directory is a fresh one, for
// the files that decoding with saving writes.
class QuietDecoding {
 public:
  QuietDecoding() {
    std::fflush(stdout);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    int null = ::open("/dev/null", O_WRONLY);
    if (savedOut_ < 0 || savedErr_ < 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0 ||
        ::dup2(null, STDERR_FILENO) < 0 || ::chdir(files_.path().c_str()) != 0) {
      std::abort();
    }
    ::close(null);
    sanitizerReportsTo(savedErr_);
  }

  ~QuietDecoding() {
    out::flush();
    std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
    sanitizerReportsTo(STDERR_FILENO);
    std::filesystem::current_path(home_);
    decoder().verbose = 0;
    decoder().saveFiles = 0;
    resetDecoderState();
  }

  QuietDecoding(const QuietDecoding&) = delete;
  QuietDecoding& operator=(const QuietDecoding&) = delete;

  // Decodes as `wendrel -v` would, or `wendrel -v -s` when save is set.
  static int decode(std::span<const std::uint8_t> stream, bool save) {
    decoder().verbose = 1;
    decoder().saveFiles = save ? 1 : 0;
    resetDecoderState();
    int result = decodeStream(stream);
    out::flush();
    return result;
  }

 private:
  fs::path home_ = fs::current_path();
  TempDir files_;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

// The example stream, and the real ones when the corpus is there.
std::vector<fs::path> realStreams() {
  std::vector<fs::path> files = corpusFiles();
  files.push_back(fs::path(WENDREL_SOURCE_DIR) / "examples" / "sample.tnef");
  return files;
}

Bytes bytesOf(const fs::path& file) {
  std::string text = readFile(file);
  return Bytes(text.begin(), text.end());
}

// Every length from the full size down to 0. The bytes past the prefix stay
// in the buffer but are poisoned, so reading any of them is a finding.
TEST(Hostile, EveryPrefixOfEveryRealStream) {
  for (const fs::path& file : realStreams()) {
    Bytes bytes = bytesOf(file);
    int failures = 0;
    {
      QuietDecoding quiet;
      for (std::size_t size = bytes.size() + 1; size-- > 0;) {
        ASAN_POISON_MEMORY_REGION(bytes.data() + size, bytes.size() - size);
        bool save = size % 4099 == 0;  // saving is slow: a sparse sample
        failures += QuietDecoding::decode(std::span(bytes).first(size), save) != 0;
      }
      ASAN_UNPOISON_MEMORY_REGION(bytes.data(), bytes.size());
    }
    EXPECT_EQ(failures, 0) << file;
  }
}

// Single bytes set to values that make lengths, counts and IDs extreme: every
// byte of the head of the stream, then offsets spread over the rest.
TEST(Hostile, SingleByteCorruptionsOfEveryRealStream) {
  constexpr std::size_t kHead = 512, kSpread = 2048;
  for (const fs::path& file : realStreams()) {
    Bytes bytes = bytesOf(file);
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < std::min(kHead, bytes.size()); ++i) offsets.push_back(i);
    for (std::size_t i = 0; bytes.size() > kHead && i < kSpread; ++i) {
      offsets.push_back(kHead + i * (bytes.size() - kHead) / kSpread);
    }
    int failures = 0, decoded = 0;
    {
      QuietDecoding quiet;
      for (std::size_t offset : offsets) {
        std::uint8_t original = bytes[offset];
        for (std::uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF, original ^ 0x10}) {
          bytes[offset] = value;
          failures += QuietDecoding::decode(bytes, ++decoded % 97 == 0) != 0;
        }
        bytes[offset] = original;
      }
    }
    EXPECT_EQ(failures, 0) << file;
  }
}

constexpr std::uint32_t kSubject = 0x00018004, kMapiProps = 0x00069003;
const std::string kTruncatedList = "Truncated MAPI property list\n";

Bytes mapiRecord(const Bytes& list) { return StreamBuilder().record(kMapiProps, list).bytes(); }

Bytes withTail(Bytes bytes, const Bytes& tail) {
  appendBytes(bytes, tail);
  return bytes;
}

// A counted string property whose value-count field (never read) is count.
Bytes stringWithValueCount(std::uint32_t count) {
  Bytes list = dwordBytes(1);
  for (std::uint32_t field : {0x0070001Eu, count, 2u}) appendDword(list, field);
  appendBytes(list, {'o', 'k', 0, 0});
  return list;
}

TEST(Hostile, LengthsAndCountsAtTheEdges) {
  Bytes subject = StreamBuilder().record(kSubject, cString("first")).bytes();  // 23 bytes
  const std::string first = std::string(kGoodHeader) + "Subject: first\n";
  const std::string mapi = std::string(kGoodHeader) + "MAPI Properties\n";
  struct Case {
    std::string name;
    Bytes stream;
    std::string out, err;
  } cases[] = {
      {"record length 2^31 - 1", withTail(subject, {1, 4, 0x80, 1, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'x', 0, 0}), first,
       "Truncated attribute record at offset 23\n"},
      {"record length 2^32 - 12", withTail(subject, {1, 4, 0x80, 1, 0, 0xF4, 0xFF, 0xFF, 0xFF, 'x', 0, 0}), first,
       "Truncated attribute record at offset 23\n"},
      {"property count 2^32 - 1 over fixed and counted properties",
       mapiRecord(MapiListBuilder().fixed(0x00170003, 4).string8(0x0070001E, "t").bytesWithCount(0xFFFFFFFF)),
       mapi + "\tNumber of Properties: 4294967295\n\tConversation Topic: t\n", kTruncatedList},
      {"value count 2^32 - 1 is not read", mapiRecord(stringWithValueCount(0xFFFFFFFF)),
       mapi + "\tNumber of Properties: 1\n\tConversation Topic: ok\n", ""},
      {"value count 0 is not read", mapiRecord(stringWithValueCount(0)),
       mapi + "\tNumber of Properties: 1\n\tConversation Topic: ok\n", ""},
      {"list one byte longer than its properties",
       mapiRecord(withTail(MapiListBuilder().string8(0x0070001E, "t").bytes(), {0x1E})),
       mapi + "\tNumber of Properties: 1\n\tConversation Topic: t\n", ""},
      {"counted length 2^31 - 1 with data to the end of the list",
       mapiRecord(MapiListBuilder().countedClaiming(0x0070001E, 0x7FFFFFFF, Bytes(64, 'd'), false).bytes()),
       mapi + "\tNumber of Properties: 1\n", kTruncatedList},
  };
  for (const Case& c : cases) {
    RunResult result = decode(c.stream, {"-s"});
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.status, 0) << c.name;
  }
}

// The real executable under memcheck: no invalid access, no use of
// uninitialised memory, nothing lost (the loaded stream stays reachable).
TEST(Hostile, RealStreamsUnderValgrind) {
  if (WENDREL_SANITIZED) GTEST_SKIP() << "valgrind cannot run a sanitized build";
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
  for (const fs::path& file : realStreams()) {
    TempDir dir;
    RunOptions options;
    options.workingDirectory = dir.path();
    options.launcher = {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                        "--errors-for-leak-kinds=definite,indirect,possible",
                        "--suppressions=" WENDREL_SOURCE_DIR "/tests/valgrind.supp"};
    RunResult result = runWendrel({"-v", "-s", file.string()}, options);
    EXPECT_EQ(result.status, 0) << file << "\n" << result.err;
  }
}

}  // namespace
}  // namespace wendrel::test
