// Where TNEF lies in a message's parts (see tnef_parts.h).

#include "tnef_parts.h"

#include <cstring>

#include "base64.h"

namespace wendrel::mime {

namespace {
constexpr std::uint8_t kSignature[4] = {0x78, 0x9F, 0x3E, 0x22};
}  // namespace

bool startsWithSignature(const std::uint8_t* data, std::size_t size) {
  return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

bool isTnefType(GMimeObject* part) {
  GMimeContentType* type = g_mime_object_get_content_type(part);
  return type != nullptr && (g_mime_content_type_is_type(type, "application", "ms-tnef") ||
                             g_mime_content_type_is_type(type, "application", "vnd.ms-tnef"));
}

// Base64, which large parts come in, by a loop of our own.
GByteArray* decodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return nullptr;
  if (g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_BASE64) {
    GMimeStream* encoded = g_mime_data_wrapper_get_stream(content);
    gint64 length = g_mime_stream_length(encoded);
    GByteArray* bytes = g_byte_array_sized_new(length > 0 && length / 4 * 3 < G_MAXUINT ? static_cast<guint>(length / 4 * 3 + 3) : 0);
    decodeBase64(encoded, bytes);
    return bytes;
  }
  GMimeStream* memory = g_mime_stream_mem_new();
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(memory), FALSE);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
  bool written = g_mime_data_wrapper_write_to_stream(content, memory) >= 0;
  g_object_unref(memory);
  if (!written) {
    g_byte_array_unref(bytes);
    return nullptr;
  }
  return bytes;
}

bool startsLikeTnef(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return false;
  GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
  bool plain = encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
               encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY;
  if (!plain && encoding != GMIME_CONTENT_ENCODING_BASE64) return true;  // decoded whole to tell
  char head[256];
  GMimeStream* raw = g_mime_data_wrapper_get_stream(content);
  g_mime_stream_reset(raw);
  ssize_t count = g_mime_stream_read(raw, head, sizeof head);
  g_mime_stream_reset(raw);
  if (count <= 0) return false;
  if (plain) return startsWithSignature(reinterpret_cast<const std::uint8_t*>(head), static_cast<std::size_t>(count));
  GMimeStream* text = g_mime_stream_mem_new_with_buffer(head, static_cast<std::size_t>(count));
  GByteArray* bytes = g_byte_array_new();
  decodeBase64(text, bytes);
  bool tnef = startsWithSignature(bytes->data, bytes->len);
  g_byte_array_unref(bytes);
  g_object_unref(text);
  return tnef;
}

}  // namespace wendrel::mime
