// The example stream: its generator still makes it, and it decodes as a whole
// message with an attachment and a compressed-RTF body.

#include <gtest/gtest.h>

#include "process.h"

namespace wendrel::test {
namespace {

const fs::path kSample = fs::path(WENDREL_SOURCE_DIR) / "examples" / "sample.tnef";

TEST(Sample, GeneratorMakesTheCommittedFile) {
  TempDir dir;
  RunOptions generator;
  generator.executable = WENDREL_SAMPLE_GENERATOR;
  generator.invocationName = "make_sample";
  RunResult made = runWendrel({(dir / "made.tnef").string()}, generator);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(readFile(dir / "made.tnef"), readFile(kSample));
}

TEST(Sample, SavesItsAttachmentAndBodies) {
  TempDir dir;
  RunOptions options;
  options.workingDirectory = dir.path();
  RunResult result = runWendrel({"-s", kSample.string()}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  for (const char* line : {"Subject: Quarterly figures\n", "Priority: 2 (Normal)\n",
                           "\tSender Email Address: ada.lovelace@example.org\n",
                           "Attachment saved to file figures.csv\n"}) {
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(readFile(dir / "figures.csv"), "quarter,revenue\nQ1,1200\nQ2,1350\n");
  EXPECT_EQ(readFile(dir / "tnef_0_22.txt"), "Please find the figures attached.");
  EXPECT_EQ(snapshot(dir.path()).size(), 3u);  // figures.csv, the text body and the RTF body
}

}  // namespace
}  // namespace wendrel::test
