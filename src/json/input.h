#pragma once
// What wendrel-json reads, how its run ends, and what its diagnostics may
// show: the input read whole, exit statuses that mail systems act on, and
// texts from the input made safe for standard error.

#include <glib.h>

#include <string>
#include <string_view>

#include "wendrel/mime.h"
#include "last_resort.h"

namespace wendrel::json {

// The exit statuses are wendrel-mime's.
using mime::kNoInput;
using mime::kTemporaryFailure;
using mime::kUsage;
using mime::kWritten;

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
