#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace wendrel::test {

namespace {

constexpr uid_t kNobody = 65534;

// In the child: says on its standard error which step failed and why, and ends it.
[[noreturn]] void childFails(const char* step, int status = 126) {
  int error = errno;
  ::dprintf(STDERR_FILENO, "%s: %s\n", step, std::strerror(error));
  ::_exit(status);
}

void redirect(const std::string& path, int target) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(126);
  ::close(fd);
}

}  // namespace

RunResult runWendrel(const std::vector<std::string>& arguments, const RunOptions& options) {
  TempDir capture;
  std::string outPath = options.stdoutPath.empty() ? (capture / "out").string() : options.stdoutPath;
  std::string errPath = (capture / "err").string();
  fs::path workingDirectory = fs::absolute(options.workingDirectory);
  std::string program = options.executable.empty() ? WENDREL_BINARY : options.executable.string();
  // The child (valgrind keeps files there) gets the directory the tests use:
  // a relative TMPDIR would name another one once the child is in its working
  // directory, and an empty or missing one none.
  std::string temporary = temporaryDirectory().string();

  std::vector<std::string> all = options.launcher;
  all.push_back(options.launcher.empty() ? options.invocationName : program);
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  if (!options.passNoArguments) {
    for (std::string& argument : all) argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(outPath, STDOUT_FILENO);
    redirect(errPath, STDERR_FILENO);
    if (!options.stdinPath.empty()) {
      int fd = ::open(options.stdinPath.c_str(), O_RDONLY);
      if (fd < 0 || ::dup2(fd, STDIN_FILENO) < 0) childFails("stdin");
      ::close(fd);
    }
    if (options.asNobody && ::geteuid() == 0) {
      // Root's supplementary groups would otherwise stay with the child.
      if (::setgroups(0, nullptr) != 0) childFails("setgroups");
      if (::setgid(kNobody) != 0) childFails("setgid");
      if (::setuid(kNobody) != 0) childFails("setuid");
    }
    if (::setenv("TMPDIR", temporary.c_str(), 1) != 0) childFails("setenv");
    if (::chdir(workingDirectory.c_str()) != 0) childFails("chdir");
    ::execvp(options.launcher.empty() ? program.c_str() : options.launcher[0].c_str(), argv.data());
    childFails("exec", 127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (options.stdoutPath.empty()) result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

fs::path temporaryDirectory() {
  const char* value = std::getenv("TMPDIR");
  std::error_code error;
  if (value != nullptr && *value != '\0' && fs::is_directory(value, error)) return fs::absolute(value);
  return "/tmp";
}

TempDir::TempDir() : TempDir(temporaryDirectory()) {}

// Absolute, so that it still names the directory after a child changes its
// working directory.
TempDir::TempDir(const fs::path& parent) {
  std::string pattern = (fs::absolute(parent) / "wendrel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp in " + parent.string());
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Restore permissions that a test may have taken away, then remove everything.
  for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::pair<std::string, std::string>> snapshot(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(entry.path(), root).string();
    files.emplace_back(name, entry.is_regular_file() ? readFile(entry.path()) : std::string("<not a file>"));
  }
  std::sort(files.begin(), files.end());
  return files;
}

RunResult decode(const Bytes& stream, const std::vector<std::string>& options) {
  TempDir dir;
  writeFile(dir / "stream.tnef", stream);
  std::vector<std::string> arguments = options;
  arguments.push_back("stream.tnef");
  RunOptions run;
  run.workingDirectory = dir.path();
  return runWendrel(arguments, run);
}

SaveResult decodeAndSave(const Bytes& stream) {
  TempDir dir;
  fs::path input = dir / "stream.tnef";
  writeFile(input, stream);
  fs::create_directory(dir / "out");
  RunOptions run;
  run.workingDirectory = dir / "out";
  SaveResult result;
  result.run = runWendrel({"-s", input.string()}, run);
  result.files = snapshot(dir / "out");
  return result;
}

std::string devFullUnavailable() {
  struct stat status {};
  if (::stat("/dev/full", &status) != 0) return std::string("/dev/full: ") + std::strerror(errno);
  if (!S_ISCHR(status.st_mode)) return "/dev/full is not a device";
  return "";
}

std::string linkToDevFull(const fs::path& link) {
  std::string why = devFullUnavailable();
  if (!why.empty()) return why;
  std::error_code error;
  fs::create_symlink("/dev/full", link, error);
  return error ? "cannot make the symbolic link " + link.string() + ": " + error.message() : "";
}

std::unique_ptr<TempDir> scratchForNobody(const fs::path& program, const std::string& probe, std::string& why) {
  const fs::perms readAndEnter = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec;
  std::vector<fs::path> tried;
  for (fs::path place : {temporaryDirectory(), fs::path("/tmp"), fs::path("/var/tmp"), fs::path("/dev/shm")}) {
    std::error_code error;
    place = fs::weakly_canonical(place, error);
    if (error || !fs::is_directory(place, error) || std::find(tried.begin(), tried.end(), place) != tried.end()) {
      continue;
    }
    tried.push_back(place);
    why += "\n  " + place.string() + ": ";
    std::unique_ptr<TempDir> dir;
    fs::path copy;
    try {
      dir = std::make_unique<TempDir>(place);
      copy = *dir / program.filename();
      fs::permissions(dir->path(), readAndEnter);
      fs::copy_file(program, copy);
      fs::permissions(copy, readAndEnter);
      writeFile(*dir / "locked.tnef", StreamBuilder().bytes());
      fs::permissions(*dir / "locked.tnef", fs::perms::none);
    } catch (const std::exception& failure) {
      why += failure.what();
      continue;
    }
    if (fs::status(*dir / "locked.tnef").permissions() != fs::perms::none) {
      why += "the file system keeps no file modes";
      continue;
    }
    RunOptions run;
    run.executable = copy;
    run.workingDirectory = dir->path();
    run.asNobody = true;
    // 126 and 127: the child could not become nobody, enter the directory or
    // execute the copy, and its standard error says which and why.
    RunResult result = runWendrel({probe}, run);
    if (result.status != 126 && result.status != 127) return dir;
    why += result.err.substr(0, result.err.find('\n'));
  }
  return nullptr;
}

namespace {

// WENDREL_CORPUS when it is set, else the corpus beside the project.
fs::path corpusPlace() {
  const char* chosen = std::getenv("WENDREL_CORPUS");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return (fs::path(WENDREL_SOURCE_DIR) / ".." / "shared" / "corpus").lexically_normal();
}

}  // namespace

fs::path corpusDirectory() {
  fs::path corpus = corpusPlace();
  std::error_code error;
  return fs::is_directory(corpus, error) ? corpus : fs::path();
}

std::string noCorpus() {
  std::string reason = "no corpus at " + corpusPlace().string();
  // One line per test, for the summary at the end of the run; lines this
  // short are appended whole, whichever test runs beside.
  if (const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info()) {
    std::string line = std::string(test->test_suite_name()) + "." + test->name() + "\t" + reason + "\n";
    int fd = ::open(WENDREL_SKIP_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t written = ::write(fd, line.data(), line.size());
      (void)written;
      ::close(fd);
    }
  }
  return reason + "; WENDREL_CORPUS names a directory of real TNEF streams";
}

std::vector<fs::path> corpusFiles() {
  std::vector<fs::path> files;
  fs::path corpus = corpusDirectory();
  if (corpus.empty()) return files;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.path().extension() == ".tnef") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace wendrel::test
