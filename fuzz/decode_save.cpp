// Fuzz target: decodes each input as `wendrel -v -s` would, so attachments and
// compressed-RTF bodies are written to files. Each input runs inside a scratch
// directory made at start-up, which is emptied afterwards; the fuzzer itself
// keeps the directory it was started in, so relative corpus paths still work.
// The scratch directory sits alone inside another one: a file that appears
// next to it was written outside the working directory, and is a finding. So
// is a file written twice in one input.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "wendrel/decoder.h"
#include "fuzz_decode.h"

namespace {

namespace fs = std::filesystem;

fs::path outer;    // holds nothing but scratch
fs::path scratch;  // the working directory while an input is decoded
int homeDirectory = -1;  // where the fuzzer was started, held open for fchdir

// Every file the decoder created must still be there: two creates of one
// name would leave fewer files than creates.
void checkNothingWrittenTwice() {
  std::size_t files = 0;
  for (auto it = fs::directory_iterator(scratch); it != fs::directory_iterator(); ++it) ++files;
  if (files == wendrel::createdFileCount()) return;
  std::fprintf(stderr, "%zu files created but %zu in the directory: a file was written twice\n",
               wendrel::createdFileCount(), files);
  std::abort();
}

void emptyScratch() {
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch)) fs::remove_all(entry.path(), ignored);
}

void checkNothingEscaped() {
  for (const fs::directory_entry& entry : fs::directory_iterator(outer)) {
    if (entry.path() == scratch) continue;
    std::fprintf(stderr, "file written outside the working directory: %s\n", entry.path().c_str());
    std::abort();
  }
}

// Crash reproducers are written while an input runs, that is inside the
// scratch directory: anchor libFuzzer's artifact prefix to the start
// directory instead (argv may be changed here; libFuzzer parses it afterwards).
void anchorArtifacts(int* argc, char*** argv, const fs::path& home) {
  static std::vector<std::string> arguments;
  static std::vector<char*> pointers;
  constexpr std::string_view kFlag = "-artifact_prefix=";
  bool given = false;
  for (int i = 0; i < *argc; ++i) {
    std::string argument = (*argv)[i];
    if (argument.starts_with(kFlag)) {
      given = true;
      std::string prefix = argument.substr(kFlag.size());
      if (!prefix.starts_with('/')) argument = std::string(kFlag) + (home / prefix).string();
    }
    arguments.push_back(argument);
  }
  if (!given) arguments.push_back(std::string(kFlag) + home.string() + "/");
  pointers.push_back((*argv)[0]);  // libFuzzer insists on the very same argv[0]
  for (std::size_t i = 1; i < arguments.size(); ++i) pointers.push_back(arguments[i].data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(arguments.size());
  *argv = pointers.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  wendrel::fuzz::discardStandardOutput();
  wendrel::decoder().verbose = 1;
  wendrel::decoder().saveFiles = 1;

  std::string pattern = (fs::temp_directory_path() / "wendrel-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  outer = pattern;
  scratch = outer / "work";
  fs::create_directory(scratch);
  homeDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (homeDirectory < 0) std::abort();
  anchorArtifacts(argc, argv, fs::current_path());
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(outer, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (::chdir(scratch.c_str()) != 0) std::abort();
  wendrel::fuzz::decodeOne(data, size);
  checkNothingWrittenTwice();
  emptyScratch();
  checkNothingEscaped();
  if (::fchdir(homeDirectory) != 0) std::abort();
  return 0;
}
