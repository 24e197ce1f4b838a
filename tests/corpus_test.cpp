// Real streams from mail clients, when the shared corpus is present.

#include <gtest/gtest.h>

#include "process.h"

namespace wendrel::test {
namespace {

TEST(Corpus, EveryStreamDecodesWithEveryOptionSet) {
  std::vector<fs::path> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus next to the project";
  for (const fs::path& file : files) {
    for (const std::vector<std::string>& flags :
         {std::vector<std::string>{}, {"-v"}, {"-v", "-s"}, {"-d", "-s"}}) {
      TempDir dir;
      RunOptions options;
      options.workingDirectory = dir.path();
      std::vector<std::string> arguments = flags;
      arguments.push_back(file.string());
      RunResult result = runWendrel(arguments, options);
      EXPECT_EQ(result.status, 0) << file << ::testing::PrintToString(flags);
      std::size_t start = !flags.empty() && flags[0] == "-d" ? result.out.find("\nGood TNEF Signature\n") + 1 : 0;
      EXPECT_EQ(result.out.compare(start, 20, "Good TNEF Signature\n"), 0) << file;
    }
  }
}

}  // namespace
}  // namespace wendrel::test
