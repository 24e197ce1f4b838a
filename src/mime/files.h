#pragma once
// What wendrel-mime reads and writes, and how a run ends: the input read
// whole, the output put in its place without ever being seen half written,
// and exit statuses a mail system acts on.

#include <gmime/gmime.h>

#include <string>

#include "last_resort.h"

namespace wendrel::mime {

// The outcome of several conversions: 75 over 66 over 0.
int worseOutcome(int a, int b);

// From here on nothing ends the run with a signal of its making: memory that
// runs out (in GLib, which aborts, or in new) ends it with status 75 after
// the temporary file being written is removed, and a reader that goes away
// or a file size limit is a write error.
void guardAgainstFatalFailures();

// ---- Input ----

struct Input {
  GByteArray* bytes = nullptr;  // the whole input; nullptr when it could not be read
  int status = kWritten;        // kNoInput or kTemporaryFailure when it could not
  int error = 0;                // errno of the failure
};

// Reads all of path ("-" is standard input).
Input readInput(const char* path);

// ---- Output ----

// Where a message goes: standard output, or a path. A path that is not a
// regular file (a device, a FIFO) is written in place. Otherwise the
// message goes to a temporary file beside the file the path names (the end
// of its symbolic links, which stay links), renamed onto it once whole: a
// file it replaces keeps its permission bits (and owner and group where the
// process may set them), a new one is made 0600.
class Output {
 public:
  explicit Output(const char* path) : path_(path != nullptr ? path : ""), toStandardOutput_(path == nullptr) {}
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // False when it cannot be opened; error() says why.
  bool open();
  // The stream to write the message to (buffered), while open.
  GMimeStream* stream() const { return buffered_; }
  // Flushes, syncs and puts the file in place; false when any of it fails.
  bool finish();
  int error() const { return error_; }
  // What a diagnostic calls it.
  const char* name() const { return toStandardOutput_ ? "standard output" : path_.c_str(); }

 private:
  bool fail();
  void discard();

  std::string path_;
  bool toStandardOutput_;
  std::string target_;     // the regular file a temporary is renamed onto
  std::string temporary_;  // empty when written in place
  bool replacing_ = false;
  unsigned mode_ = 0, owner_ = 0, group_ = 0;  // of the file replaced
  int descriptor_ = -1;
  GMimeStream* file_ = nullptr;
  GMimeStream* buffered_ = nullptr;
  int error_ = 0;
};

}  // namespace wendrel::mime
