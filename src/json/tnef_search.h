#pragma once
// The TNEF in an input: the input itself when it starts with the TNEF
// signature, else every TNEF part of the mail message it is (RFC 5322, or
// an mbox one after its "From " line), found as wendrel-mime finds them: a
// part of type application/ms-tnef or application/vnd.ms-tnef, or any
// other single part whose content, its transfer encoding undone, starts
// with the signature; inside multiparts and attached messages
// (message/rfc822) down to kDeepestNesting levels.

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel::json {

// Nothing nested deeper than this is searched: no mail nests so deep,
// and a hostile one must not take the stack (wendrel-mime's limit).
inline constexpr int kDeepestNesting = 64;

bool startsWithTnefSignature(const std::uint8_t* bytes, std::size_t size);

// A leaf part of the message that holds TNEF, or is typed as if it did.
struct TnefEntity {
  std::string path;         // its section number as IMAP gives it (RFC 3501): "1", "2.1", ...
  std::string contentType;  // type/subtype, in lowercase
  std::optional<std::string> fileName;
  GByteArray* content = nullptr;  // the content, its transfer encoding undone (owned)

  TnefEntity() = default;
  TnefEntity(TnefEntity&& other) noexcept;
  TnefEntity& operator=(TnefEntity&&) = delete;
  ~TnefEntity();
};

// What a search of a message found.
struct TnefSearch {
  std::vector<TnefEntity> entities;  // in the order of the message
  bool deeperLevelsSkipped = false;
};

// GMime reads a message in memory it counts in guint.
inline constexpr std::size_t kLargestMessage = G_MAXUINT;

// The TNEF parts of a mail message of fewer than kLargestMessage bytes
// (GMime is initialised first).
TnefSearch findTnefEntities(GBytes* message);

}  // namespace wendrel::json
