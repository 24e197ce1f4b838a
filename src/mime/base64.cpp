// Base64 written and read by loops of our own (see base64.h).

#include "base64.h"

#include "wendrel/formats/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

struct Base64Part {
  GMimePart parent;
};

struct Base64PartClass {
  GMimePartClass parent_class;
};

using wendrel::base64::encodeGroups;
using wendrel::base64::encodeTail;
using wendrel::base64::kDigits;
constexpr std::size_t kLineBytes = 57;  // 76 characters of base64

// The content of the part, in lines of 76 characters, each ended by newline.
ssize_t writeContent(GMimeStream* content, const char* newline, GMimeStream* stream) {
  constexpr std::size_t kLinesPerBlock = 1024;
  std::array<unsigned char, kLineBytes * kLinesPerBlock> in;
  std::array<char, (76 + 2) * kLinesPerBlock> out;
  std::size_t newlineLength = std::strlen(newline);
  std::size_t pending = 0;  // bytes in `in` from an earlier read
  ssize_t total = 0;
  g_mime_stream_reset(content);
  for (bool end = false; !end;) {
    ssize_t count = g_mime_stream_read(content, reinterpret_cast<char*>(in.data()) + pending, in.size() - pending);
    if (count < 0) return -1;
    end = count == 0;
    pending += static_cast<std::size_t>(count);
    // Whole lines now, and the last, short one at the end.
    std::size_t lines = end ? (pending + kLineBytes - 1) / kLineBytes : pending / kLineBytes;
    char* p = out.data();
    for (std::size_t line = 0; line < lines; ++line) {
      const unsigned char* from = in.data() + line * kLineBytes;
      std::size_t bytes = std::min(kLineBytes, pending - line * kLineBytes);
      p = encodeGroups(from, bytes / 3, p);
      if (bytes % 3 != 0) p = encodeTail(from + bytes / 3 * 3, bytes % 3, p);
      std::memcpy(p, newline, newlineLength);
      p += newlineLength;
    }
    std::size_t used = std::min(lines * kLineBytes, pending);
    if (p != out.data()) {
      ssize_t written = g_mime_stream_write(stream, out.data(), static_cast<std::size_t>(p - out.data()));
      if (written < 0) return -1;
      total += written;
    }
    std::memmove(in.data(), in.data() + used, pending - used);
    pending -= used;
  }
  return total;
}

ssize_t writeToStream(GMimeObject* object, GMimeFormatOptions* options, gboolean contentOnly, GMimeStream* stream) {
  const char* newline = g_mime_format_options_get_newline(options != nullptr ? options : g_mime_format_options_get_default());
  ssize_t total = 0;
  if (!contentOnly) {
    ssize_t headers = g_mime_header_list_write_to_stream(object->headers, options, stream);
    if (headers < 0 || g_mime_stream_write_string(stream, newline) < 0) return -1;
    total += headers + static_cast<ssize_t>(std::strlen(newline));
  }
  GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(object));
  GMimeStream* content = wrapper != nullptr ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
  if (content == nullptr) return total;
  ssize_t written = writeContent(content, newline, stream);
  return written < 0 ? -1 : total + written;
}

// The value of each base64 character, 64 for '=', 0xFF for the rest.
constexpr std::array<std::uint8_t, 256> makeValues() {
  std::array<std::uint8_t, 256> values{};
  values.fill(0xFF);
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kDigits[i])] = i;
  values['='] = 64;
  return values;
}
constexpr std::array<std::uint8_t, 256> kValues = makeValues();

// Decodes text into out; carries a group cut between calls in state and
// count. Returns false once '=' has ended the text.
bool decodeBlock(const unsigned char* p, const unsigned char* end, std::uint32_t& state, unsigned& count,
                 unsigned char*& out) {
  while (p < end) {
    // Four characters of the alphabet at once, the common case.
    if (count == 0 && end - p >= 4) {
      std::uint32_t a = kValues[p[0]], b = kValues[p[1]], c = kValues[p[2]], d = kValues[p[3]];
      if ((a | b | c | d) < 64) {
        std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<unsigned char>(group >> 16);
        out[1] = static_cast<unsigned char>(group >> 8);
        out[2] = static_cast<unsigned char>(group);
        out += 3;
        p += 4;
        continue;
      }
    }
    std::uint8_t value = kValues[*p++];
    if (value == 64) return false;
    if (value > 64) continue;
    state = state << 6 | value;
    if (++count == 4) {
      out[0] = static_cast<unsigned char>(state >> 16);
      out[1] = static_cast<unsigned char>(state >> 8);
      out[2] = static_cast<unsigned char>(state);
      out += 3;
      state = 0;
      count = 0;
    }
  }
  return true;
}

}  // namespace

extern "C" {
G_DEFINE_TYPE(Base64Part, wendrel_base64_part, GMIME_TYPE_PART)

static void wendrel_base64_part_class_init(Base64PartClass* klass) {
  GMIME_OBJECT_CLASS(klass)->write_to_stream = writeToStream;
}

static void wendrel_base64_part_init(Base64Part*) {}
}

namespace wendrel::mime {

GMimePart* newBase64Part(const char* major, const char* minor, GMimeStream* stream) {
  auto* part = GMIME_PART(g_object_new(wendrel_base64_part_get_type(), nullptr));
  GMimeContentType* type = g_mime_content_type_new(major, minor);
  g_mime_object_set_content_type(GMIME_OBJECT(part), type);
  g_object_unref(type);
  GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
  g_mime_part_set_content(part, content);
  g_object_unref(content);
  g_object_unref(stream);
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

void decodeBase64(GMimeStream* stream, GByteArray* out) {
  std::array<unsigned char, 64 * 1024> text;
  std::uint32_t state = 0;
  unsigned count = 0;
  g_mime_stream_reset(stream);
  for (bool going = true; going;) {
    ssize_t read = g_mime_stream_read(stream, reinterpret_cast<char*>(text.data()), text.size());
    if (read <= 0) break;
    guint start = out->len;
    // Room for what the block can give at most.
    g_byte_array_set_size(out, start + static_cast<guint>(read) / 4 * 3 + 3);
    unsigned char* end = out->data + start;
    going = decodeBlock(text.data(), text.data() + read, state, count, end);
    g_byte_array_set_size(out, static_cast<guint>(end - out->data));
  }
  // A group cut short by '=' or by the end gives the whole bytes it holds.
  std::uint8_t tail[2];
  if (count >= 2) {
    state <<= 6 * (4 - count);
    tail[0] = static_cast<std::uint8_t>(state >> 16);
    tail[1] = static_cast<std::uint8_t>(state >> 8);
    g_byte_array_append(out, tail, count - 1);
  }
}

}  // namespace wendrel::mime
