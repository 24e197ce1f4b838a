#include "process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace wendrel::test {

namespace {

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

  std::vector<std::string> all = options.launcher;
  all.push_back(options.launcher.empty() ? options.invocationName : WENDREL_BINARY);
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
    if (options.asNobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
    if (::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    ::execvp(options.launcher.empty() ? WENDREL_BINARY : options.launcher[0].c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (options.stdoutPath.empty()) result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "wendrel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
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

fs::path corpusDirectory() {
  fs::path corpus = fs::path(WENDREL_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::error_code error;
  return fs::is_directory(corpus, error) ? corpus : fs::path();
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
