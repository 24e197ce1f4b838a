// The names of the files a run saves: where a name is confined to, and which
// name a save takes when this run already created the one it asks for.

#include <sys/auxv.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

// ---- Fingerprints ----
// A name is remembered by a 64-bit keyed hash of it, not as text, so that a
// hundred thousand files cost about 2 MiB. Two of n names share a fingerprint
// with a chance of about n^2 / 2^65; the only effect would be a suffix that was
// not needed, never a file written twice. The key is random for each run
// (SipHash-1-3, keyed by the bytes the kernel hands every process), so a
// stream cannot be made to collide on purpose, in fingerprints or in buckets.

struct SipHash {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
  }
  void absorb(std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

// The decoder's key, taken at its first use.
const std::uint64_t* hashKey() {
  SavedFiles& saved = decoder().saved;
  if (!saved.keyTaken) {
    saved.keyTaken = true;
#if defined(AT_RANDOM)
    if (auto random = getauxval(AT_RANDOM)) std::memcpy(saved.key, reinterpret_cast<const void*>(random), sizeof saved.key);
#endif
  }
  return saved.key;
}

std::uint64_t fingerprintOf(std::string_view name) {
  const std::uint64_t* key = hashKey();
  SipHash h{key[0] ^ 0x736f6d6570736575, key[1] ^ 0x646f72616e646f6d, key[0] ^ 0x6c7967656e657261,
            key[1] ^ 0x7465646279746573};
  std::size_t at = 0;
  for (; name.size() - at >= 8; at += 8) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word |= std::uint64_t{static_cast<std::uint8_t>(name[at + i])} << (8 * i);
    h.absorb(word);
  }
  std::uint64_t last = std::uint64_t{name.size()} << 56;
  for (std::size_t i = 0; at + i < name.size(); ++i) last |= std::uint64_t{static_cast<std::uint8_t>(name[at + i])} << (8 * i);
  h.absorb(last);
  h.v2 ^= 0xFF;
  for (int i = 0; i < 3; ++i) h.round();
  return h.v0 ^ h.v1 ^ h.v2 ^ h.v3;
}

// ---- Tables of fingerprints ----
// Entries lie in arrays that grow in place (a large realloc moves pages rather
// than copying them), chained from buckets that are rebuilt when they double:
// 12 bytes an entry (16 with a number), 4 a bucket, and no second copy of the
// table while it grows. Allocated with malloc: the tool links no C++ run-time.

constexpr std::uint32_t kNone = UINT32_MAX;

std::uint32_t findEntry(const FingerprintTable& table, std::uint64_t key) {
  if (table.capacity == 0) return kNone;
  for (std::uint32_t e = table.buckets[key & (table.capacity - 1)]; e != 0; e = table.links[e - 1]) {
    if (table.keys[e - 1] == key) return e - 1;
  }
  return kNone;
}

template <typename T>
bool growArray(T*& array, std::uint32_t capacity) {
  auto* grown = static_cast<T*>(std::realloc(array, std::size_t{capacity} * sizeof(T)));
  if (grown != nullptr) array = grown;
  return grown != nullptr;
}

bool growTable(FingerprintTable& table, bool withNumbers) {
  if (table.capacity >= (1u << 30)) return false;
  std::uint32_t capacity = table.capacity == 0 ? 1024 : 2 * table.capacity;
  auto* buckets = static_cast<std::uint32_t*>(std::calloc(capacity, sizeof(std::uint32_t)));
  if (buckets == nullptr || !growArray(table.keys, capacity) || !growArray(table.links, capacity) ||
      (withNumbers && !growArray(table.numbers, capacity))) {
    std::free(buckets);
    return false;
  }
  std::free(table.buckets);
  table.buckets = buckets;
  table.capacity = capacity;
  for (std::uint32_t i = 0; i < table.count; ++i) {
    std::uint32_t& first = buckets[table.keys[i] & (capacity - 1)];
    table.links[i] = first;
    first = i + 1;
  }
  return true;
}

// The entry of key, added (with number 1) when missing; kNone when memory runs out.
std::uint32_t enterKey(FingerprintTable& table, std::uint64_t key, bool withNumbers) {
  std::uint32_t found = findEntry(table, key);
  if (found != kNone) return found;
  if (table.count == table.capacity && !growTable(table, withNumbers)) return kNone;
  std::uint32_t e = table.count++;
  table.keys[e] = key;
  if (withNumbers) table.numbers[e] = 1;
  std::uint32_t& first = table.buckets[key & (table.capacity - 1)];
  table.links[e] = first;
  first = e + 1;
  return e;
}

void clearTable(FingerprintTable& table) {
  std::free(table.keys);
  std::free(table.links);
  std::free(table.numbers);
  std::free(table.buckets);
  table = {};
}

bool wasCreated(std::string_view name) { return findEntry(decoder().saved.created, fingerprintOf(name)) != kNone; }

// True when the NUL-terminated name is the file being decoded, under that name
// or another (a hard link, a symbolic link).
bool isInputFile(const char* name) {
  const SavedFiles& saved = decoder().saved;
  struct stat status {};
  return saved.inputSet && stat(name, &status) == 0 && static_cast<std::uint64_t>(status.st_dev) == saved.inputDevice &&
         static_cast<std::uint64_t>(status.st_ino) == saved.inputInode;
}

// A name this run may not create: one it created already, or the input.
bool isTaken(std::string_view name) { return wasCreated(name) || isInputFile(name.data()); }

// Control characters (U+0000-U+001F, U+007F-U+009F) would carry terminal
// escapes into every listing of the directory; each becomes '_'. Writes the
// NUL-terminated result to out and returns its length (never longer).
std::size_t withoutControls(std::string_view name, char (&out)[kScratchSize]) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<std::uint8_t>(name[i]);
    bool c1 = byte == 0xC2 && i + 1 < name.size() && static_cast<std::uint8_t>(name[i + 1]) >= 0x80 &&
              static_cast<std::uint8_t>(name[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F || c1) {
      out[length++] = '_';
      i += c1 ? 1 : 0;
    } else {
      out[length++] = name[i];
    }
  }
  out[length] = '\0';
  return length;
}

// ---- Candidates ----

// "<stem>-<n><ext>" in buffer, where ext runs from the name's last '.' unless
// that is its first byte. The stem is cut so the name keeps to 255 bytes,
// never inside a character; when the extension leaves no room for it, the
// whole name is the stem.
std::string_view suffixedName(std::string_view name, std::uint32_t n, char (&buffer)[kScratchSize]) {
  char suffix[16] = "-";
  std::size_t suffixLength = static_cast<std::size_t>(std::to_chars(suffix + 1, suffix + sizeof suffix, n).ptr - suffix);
  std::size_t dot = name.rfind('.');
  std::string_view stem = name, extension;
  if (dot != std::string_view::npos && dot != 0) {
    stem = {name.data(), dot};
    extension = {name.data() + dot, name.size() - dot};
  }
  if (extension.size() + suffixLength >= kMaxText) {
    stem = name;
    extension = {};
  }
  // A cut stem ends between UTF-8 characters.
  stem = {stem.data(), utf8::cutLength(stem, kMaxText - extension.size() - suffixLength)};
  char* p = std::copy(stem.begin(), stem.end(), buffer);
  p = std::copy(suffix, suffix + suffixLength, p);
  p = std::copy(extension.begin(), extension.end(), p);
  *p = '\0';
  return {buffer, static_cast<std::size_t>(p - buffer)};
}

// Where the suffix search for name keeps its counter. Names with the same first
// candidate have the same candidates throughout (the stem is only cut further),
// so they share one counter and no candidate is tried twice, however many names
// are cut to the same 255 bytes. Only an extension of 244 to 252 bytes makes
// the cut depend on the suffix's length; such a name counts alone.
std::string_view counterKey(std::string_view name, char (&buffer)[kScratchSize]) {
  std::size_t dot = name.rfind('.');
  std::size_t extension = dot != std::string_view::npos && dot != 0 ? name.size() - dot : 0;
  constexpr std::size_t kLongestSuffix = 11;  // "-4294967295"
  bool cutVaries = extension + 2 < kMaxText && extension + kLongestSuffix >= kMaxText;
  return cutVaries ? name : suffixedName(name, 1, buffer);
}

}  // namespace

std::string_view confinedFileName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return name;
}

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kMaxText;
}

std::string_view plainFileName(std::string_view name, char (&buffer)[kScratchSize]) {
  return {buffer, withoutControls(confinedFileName(name).substr(0, kMaxText), buffer)};
}

std::string_view fileNameToCreate(std::string_view name) {
  char (&chosen)[kScratchSize] = decoder().chosenName;
  FingerprintTable& counters = decoder().saved.counters;
  char clean[kScratchSize];
  std::string_view target = plainFileName(name, clean);
  std::memcpy(chosen, clean, target.size() + 1);
  if (!isPlainFileName(target) || !isTaken(target)) return {chosen, target.size()};
  char key[kScratchSize];
  std::uint32_t counter = enterKey(counters, fingerprintOf(counterKey(target, key)), true);
  std::uint32_t n = counter != kNone ? counters.numbers[counter] : 1;
  while (isTaken(suffixedName(target, n, chosen))) ++n;
  // Not past n: if this save fails to create it, the name is still free.
  if (counter != kNone) counters.numbers[counter] = n;
  return suffixedName(target, n, chosen);
}

std::string_view fileNameFrom(std::string_view text, std::string_view extension, std::string_view fallback,
                              char (&buffer)[kScratchSize]) {
  auto unsafe = [](std::uint8_t byte, std::uint8_t next) {
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F) ||
           std::string_view("<>:\"|?*").find(static_cast<char>(byte)) != std::string_view::npos;
  };
  std::size_t length = 0;
  for (std::size_t i = 0; i < text.size() && length < kMaxText; ++i) {
    auto byte = static_cast<std::uint8_t>(text[i]);
    auto next = static_cast<std::uint8_t>(i + 1 < text.size() ? text[i + 1] : 0);
    bool replaced = unsafe(byte, next);
    buffer[length++] = replaced ? '_' : text[i];
    if (replaced && byte == 0xC2) ++i;
  }
  length = utf8::cutLength({buffer, length}, kMaxText - extension.size());
  std::string_view stem(buffer, length);
  if (stem.empty() || stem == "." || stem == "..") {
    length = static_cast<std::size_t>(std::copy(fallback.begin(), fallback.end(), buffer) - buffer);
  }
  length = static_cast<std::size_t>(std::copy(extension.begin(), extension.end(), buffer + length) - buffer);
  buffer[length] = '\0';
  return {buffer, length};
}

void protectFromSaves(std::uint64_t device, std::uint64_t inode) {
  SavedFiles& saved = decoder().saved;
  saved.inputSet = true;
  saved.inputDevice = device;
  saved.inputInode = inode;
}

void rememberCreatedFile(std::string_view name) {
  SavedFiles& saved = decoder().saved;
  ++saved.filesCreated;
  enterKey(saved.created, fingerprintOf(name), false);
}

std::size_t createdFileCount() { return decoder().saved.filesCreated; }

void forgetCreatedFiles() {
  SavedFiles& saved = decoder().saved;
  clearTable(saved.created);
  clearTable(saved.counters);
  saved.filesCreated = 0;
}

}  // namespace wendrel
