#pragma once
// What wendrel-json reads, how its run ends, and what its diagnostics may
// show: the input read whole, exit statuses that mail systems act on, and
// texts from the input made safe for standard error.

#include <glib.h>

#include <string>
#include <string_view>

#include "wendrel/mime.h"

namespace wendrel::json {

// sysexits.h, as wendrel-mime has them: an MTA defers a message on 75 and
// bounces it on anything else but 0, so every failure a later try may get
// past is 75.
inline constexpr int kWritten = 0;
inline constexpr int kUsage = 64;             // EX_USAGE
inline constexpr int kNoInput = 66;           // EX_NOINPUT
inline constexpr int kTemporaryFailure = 75;  // EX_TEMPFAIL

inline constexpr const char* kProgram = "wendrel-json";

// From here on memory that runs out (in GLib, which aborts, or in new) ends
// the run with status 75 instead of a signal, and so does a mapped input
// file cut short while it is read (SIGBUS); a reader that goes away is a
// write error.
void guardAgainstFatalFailures();

struct Input {
  GBytes* bytes = nullptr;  // the whole input; nullptr when it could not be read
  int status = kWritten;    // kNoInput or kTemporaryFailure when it could not
  int error = 0;            // errno of the failure
};

// All of path ("-" is standard input): a regular file mapped into memory
// (its bytes are then never copied), anything else, a pipe say, read whole.
Input readInput(const char* path);

// Texts from the input on standard error are made printable as wendrel-mime
// makes them (wendrel/mime.h).
using mime::printable;

}  // namespace wendrel::json
