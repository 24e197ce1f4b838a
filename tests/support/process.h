#pragma once
// Runs the built wendrel as a child process and captures what it prints, and
// the temporary directories and files that the end-to-end tests need.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "stream_builder.h"

namespace wendrel::test {

namespace fs = std::filesystem;

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

struct RunOptions {
  fs::path executable;  // the program to run; empty: the built wendrel
  fs::path workingDirectory = ".";
  std::string stdoutPath;  // empty: capture; otherwise standard output goes to this file
  std::string invocationName = "wendrel";
  bool passNoArguments = false;  // exec with an empty argument vector
  bool asNobody = false;         // when run as root, drop to user nobody (and no other group) first
  std::vector<std::string> launcher;  // runs wendrel under this command (valgrind, say)
  std::string stdinPath;              // empty: inherited; otherwise standard input comes from this file
};

// When the child cannot be started as asked (dropping to nobody, entering the
// working directory, exec), standard error holds the step and the reason and
// the status is 126, or 127 for exec.
RunResult runWendrel(const std::vector<std::string>& arguments, const RunOptions& options = {});

// TMPDIR, made absolute, when it names a directory; otherwise /tmp, as the C
// library does (std::filesystem::temp_directory_path throws for an empty or
// missing TMPDIR).
fs::path temporaryDirectory();

// A fresh directory under temporaryDirectory(), or under parent, removed with
// all it holds. Its path is absolute.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const fs::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void writeFile(const fs::path& path, const Bytes& bytes);
std::string readFile(const fs::path& path);

// Every file below root, relative to it, with its contents; for checking that a
// run changed nothing it should not have.
std::vector<std::pair<std::string, std::string>> snapshot(const fs::path& root);

// Decodes stream with the given options in a fresh directory; the stream file
// is named stream.tnef there.
RunResult decode(const Bytes& stream, const std::vector<std::string>& options = {});

// Decodes stream with -s in a fresh directory; files holds what it saved there.
struct SaveResult {
  RunResult run;
  std::vector<std::pair<std::string, std::string>> files;
};
SaveResult decodeAndSave(const Bytes& stream);

// The two lines every stream with a good signature and attach key 0x1234 begins with.
inline constexpr const char* kGoodHeader = "Good TNEF Signature\nTNEF Attach Key: 1234\n";

// /dev/full, where every write fails with "No space left on device". Each
// returns why it cannot be done here (no such device, a file system without
// symbolic links), or an empty string when it was.
std::string devFullUnavailable();
std::string linkToDevFull(const fs::path& link);

// A scratch directory holding a copy of program (under its own file name)
// and a file named locked.tnef that the user the copy runs as cannot read.
// Root reads every file, so as root the copy runs as user nobody
// (RunOptions::asNobody), who must be able to reach the directory and
// execute the copy, whatever the modes of the checkout, the build directory
// and TMPDIR, the umask or the mount options (noexec). TMPDIR is tried first,
// then the places every user reaches; the copy is tried with probe, its
// only argument; the reasons each place would not do go to why, and null
// comes back when none would.
std::unique_ptr<TempDir> scratchForNobody(const fs::path& program, const std::string& probe, std::string& why);

// The directory of real streams: WENDREL_CORPUS, else ../shared/corpus beside
// the project; empty when it is not there.
fs::path corpusDirectory();
// Why a test that needs the corpus skips; also noted for the line that ends
// the run of the suite.
std::string noCorpus();
std::vector<fs::path> corpusFiles();

}  // namespace wendrel::test
