#pragma once
// What wendrel-mime and wendrel-json share at the end of a run: the exit
// statuses a mail system acts on, and a diagnostic that needs no memory.

namespace wendrel::mime {

// sysexits.h: an MTA defers a message on 75 and bounces it on anything else
// but 0, so every failure a later try may get past is 75.
inline constexpr int kWritten = 0;
inline constexpr int kUsage = 64;             // EX_USAGE
inline constexpr int kNoInput = 66;           // EX_NOINPUT
inline constexpr int kTemporaryFailure = 75;  // EX_TEMPFAIL

// What a failure to open or read an input means to a mail system: the input
// is not there or not readable (66), or a later try may get past it (75).
int inputFailureStatus(int error);

// "program: what: detail" on standard error, with no memory to spare: each
// control byte of detail (which may come from GLib, quoting the input) as \xHH.
void reportWithoutMemory(const char* program, const char* what, const char* detail);

}  // namespace wendrel::mime
