#pragma once
// The JSON account of an input: the document schema/wendrel-json.schema.json
// describes, written from what the C interface (wendrel.h) gives of each
// TNEF stream.

#include <glib.h>

#include "json_output.h"

namespace wendrel::json {

// The version of the document's shape ("wendrel_json"): it goes up when a
// member changes its meaning or goes; new members may come without it.
inline constexpr int kDocumentVersion = 1;

struct AccountOptions {
  bool contents = false;  // base64 of attachments' data and of every block of bytes
};

struct AccountResult {
  bool memoryShort = false;  // memory ran out: the account is not whole
};

// Writes the whole document for the input (a bare stream or a mail message,
// of fewer than kLargestMessage bytes) to out; whether out could take it is
// out's to say.
AccountResult writeAccount(JsonOutput& out, GBytes* input, const AccountOptions& options);

}  // namespace wendrel::json
