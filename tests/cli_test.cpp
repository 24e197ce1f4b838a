// The command line end to end: argument scan, loading failures, usage text and
// the hex dump, against the built executable.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "process.h"
#include "wendrel/cli.h"

namespace wendrel::test {
namespace {

std::string usage(const std::string& invocation = "wendrel") {
  return "\nwendrel/" WENDREL_PROJECT_VERSION " by Quorral\n"
         "Translation Neutral Encapsulation Format (TNEF) decoder\n"
         "\nUsage: " + invocation + " [-v][-d][-h][-s] <filename>\n"
         "\t-v: Verbose output\n"
         "\t-d: Dump hex contents\n"
         "\t-h: This information\n"
         "\t-s: Save any attached files in the TNEF stream to disk\n"
         "\n";
}

// Three small streams whose output tells which one was decoded, with which flags.
class ArgumentLine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
      StreamBuilder stream;
      stream.record(0x00018004, cString(name)).record(0x0006800F, textBytes("data"));
      writeFile(dir_ / name, stream.bytes());
    }
  }

  RunResult run(const std::vector<std::string>& arguments) {
    RunOptions options;
    options.workingDirectory = dir_.path();
    return runWendrel(arguments, options);
  }

  // What decoding name prints with the given flags (saving reports the file it wrote).
  std::string decoded(const std::string& name, bool verbose, bool save, bool dump) {
    std::string out;
    if (dump) {
      std::string bytes = readFile(dir_ / name);
      std::string hexDump = "\n";
      static const char* digits = "0123456789abcdef";
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 32 == 0 && i != 0) hexDump += '\n';
        if (i % 4 == 0) hexDump += ' ';
        hexDump += digits[static_cast<unsigned char>(bytes[i]) >> 4];
        hexDump += digits[static_cast<unsigned char>(bytes[i]) & 15];
      }
      out += hexDump + "\n";
    }
    out += kGoodHeader;
    if (verbose) {
      out += "Attribute: attSubject, (00018004)\n\tComponent:\tMessage\n\tType:\t\tatpString\n\tSize:\t\t6\n"
             "\tChecksum:\t" + hex4(checksumOf(cString(name))) + "\n";
    }
    out += "Subject: " + name + "\n";
    if (verbose) {
      out += "Attribute: attAttachData, (0006800f)\n\tComponent:\tMessage\n\tType:\t\tatpByte\n"
             "\tSize:\t\t4\n\tChecksum:\t019a\n";
    }
    out += save ? "Attachment saved to file default.dat\n" : "TNEF Contains attached file default.dat\n";
    return out;
  }

  static std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
  }

  TempDir dir_;
};

TEST_F(ArgumentLine, DecodesTheLastNonOptionWithTheFlagsGiven) {
  struct Case {
    std::vector<std::string> arguments;
    std::string file;
    bool verbose, save, dump;
  } cases[] = {
      {{"a.dat"}, "a.dat", false, false, false},
      {{"-v", "a.dat"}, "a.dat", true, false, false},
      {{"a.dat", "-s", "-d"}, "a.dat", false, true, true},
      {{"a.dat", "b.dat"}, "b.dat", false, false, false},
      {{"a.dat", "b.dat", "c.dat"}, "c.dat", false, false, false},
      {{"-vs", "a.dat"}, "a.dat", false, false, false},
      {{"-v", "-v", "b.dat"}, "b.dat", true, false, false},
      {{"-d", "c.dat", "-v"}, "c.dat", true, false, true},
  };
  for (const Case& c : cases) {
    RunResult result = run(c.arguments);
    EXPECT_EQ(result.out, decoded(c.file, c.verbose, c.save, c.dump)) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(ArgumentLine, UsageAndExitStatusWithoutDecoding) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {{}, 255},
      {{"-h"}, 0},
      {{"a.dat", "-h"}, 0},
      {{"-h", "a.dat", "b.dat"}, 0},
      {{"-v", "-s", "-d", "a.dat"}, 255},
      {{"a.dat", "-h", "b.dat", "c.dat"}, 255},
      {{"-h", "-h", "-h", "-h", "-h"}, 255},
  };
  for (const Case& c : cases) {
    RunResult result = run(c.arguments);
    EXPECT_EQ(result.out, "") << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, usage());
    EXPECT_EQ(result.status, c.status);
  }
}

TEST_F(ArgumentLine, OptionLookingNamesAreFiles) {
  struct Case {
    std::vector<std::string> arguments;
    std::string missing;
  } cases[] = {
      {{"a.dat", "-vs"}, "-vs"},  {{"-v"}, "-v"},   {{"-d", "-v", "-s"}, "-d"},
      {{"-"}, "-"},               {{"--"}, "--"},   {{"a.dat", "-V"}, "-V"},
  };
  for (const Case& c : cases) {
    RunResult result = run(c.arguments);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error stating file " + c.missing + "\nstat: No such file or directory\n" + usage());
    EXPECT_EQ(result.status, 255);
  }
  // With a file of that name present, it is decoded.
  std::filesystem::copy_file(dir_ / "b.dat", dir_ / "-v");
  RunResult result = run({"-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Subject: b.dat\n"), std::string::npos);
  EXPECT_NE(result.out.find("Attribute: attSubject"), std::string::npos);
}

TEST_F(ArgumentLine, UsageNamesTheInvocationAsGiven) {
  RunOptions options;
  options.invocationName = "/usr/local/bin/wendrel";
  RunResult result = runWendrel({}, options);
  EXPECT_EQ(result.err, usage("/usr/local/bin/wendrel"));
  EXPECT_EQ(result.status, 255);
}

TEST_F(ArgumentLine, NoArgumentVectorAtAll) {
  RunOptions options;
  options.passNoArguments = true;
  RunResult result = runWendrel({}, options);
  EXPECT_NE(result.err.find("\nUsage: "), std::string::npos);
  EXPECT_EQ(result.status, 255);
}

TEST(Loading, FailuresPrintTheirLinesThenUsage) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  RunOptions options;
  options.workingDirectory = dir.path();

  RunResult missing = runWendrel({"nothing.tnef"}, options);
  EXPECT_EQ(missing.err, "Error stating file nothing.tnef\nstat: No such file or directory\n" + usage());
  EXPECT_EQ(missing.status, 255);

  RunResult folder = runWendrel({"folder"}, options);
  EXPECT_EQ(folder.err, "Error reading stream from file folder\nfread: Is a directory\n" + usage());
  EXPECT_EQ(folder.status, 255);
  EXPECT_EQ(folder.out, "");
}

TEST(Loading, UnreadableFileFailsAtOpen) {
  std::string why;
  std::unique_ptr<TempDir> dir = scratchForNobody(WENDREL_BINARY, "-h", why);
  if (!dir) GTEST_SKIP() << "no directory from which user nobody can run wendrel:" << why;
  RunOptions options;
  options.executable = *dir / "wendrel";
  options.workingDirectory = dir->path();
  options.asNobody = true;
  RunResult result = runWendrel({"locked.tnef"}, options);
  EXPECT_EQ(result.err, "Error openning file locked.tnef\nfopen: Permission denied\n" + usage());
  EXPECT_EQ(result.status, 255);
}

TEST(Loading, FilesOf2GiBOrMoreAreRefusedBeforeAllocating) {
  rlimit fileLimit{};
  if (::getrlimit(RLIMIT_FSIZE, &fileLimit) != 0) fileLimit.rlim_cur = RLIM_INFINITY;
  TempDir dir;
  struct Case {
    std::string name;
    std::int64_t size;
  } cases[] = {{"two.tnef", std::int64_t{1} << 31}, {"four.tnef", (std::int64_t{1} << 32) + 6}};
  for (const Case& c : cases) {
    // Growing a file past the limit would end this process (SIGXFSZ).
    if (fileLimit.rlim_cur < static_cast<rlim_t>(c.size)) {
      GTEST_SKIP() << "files are limited to " << fileLimit.rlim_cur << " bytes (ulimit -f)";
    }
    std::filesystem::path path = dir / c.name;
    writeFile(path, {});
    std::error_code error;
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.size), error);  // sparse where it can be
    if (error) {
      GTEST_SKIP() << "cannot make a file of " << c.size << " bytes in " << dir.path() << ": " << error.message();
    }
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runWendrel({"-d", c.name}, options);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "File " + c.name + " is too large to load: " + std::to_string(c.size) + " bytes\n" + usage());
    EXPECT_EQ(result.status, 255);
  }
}

// An input with no end is read up to the largest stream there can be.
TEST(Loading, EndlessInputIsRefusedPastTheLargestStream) {
  RunResult result = runWendrel({"/dev/zero"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "File /dev/zero is too large to load: 2147483648 bytes\n" + usage());
  EXPECT_EQ(result.status, 255);
}

TEST(Loading, EmptyFileLoadsAndIsReportedAsTooShort) {
  RunResult plain = decode({});
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(plain.err, "Stream too short for a TNEF header: 0 bytes\n");
  EXPECT_EQ(plain.status, 0);

  RunResult dumped = decode({}, {"-d"});
  EXPECT_EQ(dumped.out, "\n");
  EXPECT_EQ(dumped.status, 0);
}

// A pipe, a FIFO and /dev/stdin have no size to go by: each is read to its
// end, and gives what the same stream named as a file gives.
TEST(Loading, PipesAndFifosAreReadToTheirEnd) {
  TempDir dir;
  StreamBuilder builder;
  // Larger than the first block a pipe is read into.
  builder.record(0x00018004, cString("piped")).record(0x00018010, cString("big.bin"), 2)
      .record(0x0006800F, Bytes(300'000, 0x5A), 2);
  writeFile(dir / "stream.tnef", builder.bytes());
  std::string stream = (dir / "stream.tnef").string();
  std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Each form runs the program ("$0") with the options ("$@") on the stream.
  const std::pair<std::string, std::string> forms[] = {
      {"a pipe as /dev/stdin", "cat '" + stream + "' | \"$0\" \"$@\" /dev/stdin"},
      {"a FIFO", "cat '" + stream + "' > '" + fifo + "' & exec \"$0\" \"$@\" '" + fifo + "'"},
      {"process substitution", "exec \"$0\" \"$@\" <(cat '" + stream + "')"},
  };
  for (const std::vector<std::string>& flags : {std::vector<std::string>{"-v"}, {"-d"}, {"-s"}, {"-v", "-s"}}) {
    std::string label = ::testing::PrintToString(flags);
    TempDir direct;
    RunOptions options;
    options.workingDirectory = direct.path();
    std::vector<std::string> arguments = flags;
    arguments.push_back(stream);
    RunResult expected = runWendrel(arguments, options);
    ASSERT_EQ(expected.status, 0) << label;
    for (const auto& [form, script] : forms) {
      TempDir saves;
      RunOptions piped;
      piped.workingDirectory = saves.path();
      piped.launcher = {"bash", "-c", script};
      RunResult result = runWendrel(flags, piped);
      EXPECT_EQ(result.status, 0) << form << label << result.err;
      EXPECT_EQ(result.err, expected.err) << form << label;
      EXPECT_TRUE(result.out == expected.out) << form << label;
      EXPECT_TRUE(snapshot(saves.path()) == snapshot(direct.path())) << form << label;
    }
  }
  RunOptions empty;
  empty.launcher = {"bash", "-c", "true | \"$0\" \"$@\" /dev/stdin"};
  RunResult result = runWendrel({"-d"}, empty);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(result.err, "Stream too short for a TNEF header: 0 bytes\n");
  EXPECT_EQ(result.status, 0);
}

// A stream is read in place from the file's pages; a file cut short while it
// is read must neither end the process nor pass for a sound run.
TEST(Loading, FileCutShortWhileReadGivesZerosAndFailsTheRun) {
  TempDir dir;
  fs::path path = dir / "shrinking.tnef";
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  writeFile(path, Bytes(3 * page, 'x'));
  std::optional<std::span<const std::uint8_t>> stream = cli::loadStream(path.c_str());
  ASSERT_TRUE(stream.has_value());
  ASSERT_EQ(stream->size(), 3 * page);
  EXPECT_FALSE(cli::streamShrank());
  fs::resize_file(path, page + 10);
  EXPECT_EQ((*stream)[page + 9], 'x');
  EXPECT_EQ((*stream)[2 * page], 0);
  EXPECT_EQ((*stream)[3 * page - 1], 0);
  EXPECT_TRUE(cli::streamShrank());
}

TEST(HexDump, RowsOfEightGroupsOfFour) {
  auto bytesUpTo = [](std::size_t count) {
    Bytes bytes;
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 37 + 0x80));
    return bytes;
  };
  struct Case {
    std::size_t size;
    std::string dump;
  } cases[] = {
      {1, "\n 80\n"},
      {4, "\n 80a5caef\n"},
      {5, "\n 80a5caef 14\n"},
      {32, "\n 80a5caef 14395e83 a8cdf217 3c6186ab d0f51a3f 6489aed3 f81d4267 8cb1d6fb\n"},
      {33, "\n 80a5caef 14395e83 a8cdf217 3c6186ab d0f51a3f 6489aed3 f81d4267 8cb1d6fb\n 20\n"},
  };
  for (const Case& c : cases) {
    RunResult result = decode(bytesUpTo(c.size), {"-d"});
    EXPECT_EQ(result.out.substr(0, c.dump.size()), c.dump) << c.size;
    EXPECT_EQ(result.status, 0);
  }
}

TEST(HexDump, ComesBeforeTheDecodedStream) {
  RunResult result = decode({0x78, 0x9f, 0x3e, 0x22, 0x01, 0x00}, {"-d"});
  EXPECT_EQ(result.out, "\n 789f3e22 0100\nGood TNEF Signature\nTNEF Attach Key: 1\n");
  EXPECT_EQ(result.err, "");
}

TEST(HexDump, EveryByteValueAsTwoLowercaseDigits) {
  Bytes bytes;
  std::string expected;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i));
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", i);
    if (i % 32 == 0) expected += '\n';
    if (i % 4 == 0) expected += ' ';
    expected += digits;
  }
  RunResult result = decode(bytes, {"-d"});
  ASSERT_GE(result.out.size(), expected.size() + 1);
  EXPECT_EQ(result.out.substr(0, expected.size() + 1), expected + "\n");
}

}  // namespace
}  // namespace wendrel::test
