// Message bodies: the compressed RTF (and the HTML or text it encapsulates),
// the HTML body and the plain-text body, each announced or saved to a file
// numbered by its own counter.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/code_pages.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/encapsulated_rtf.h"
#include "wendrel/formats/utf16.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/message.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

// "tnef_<counter>_<length in hex><extension>": at most 30 characters.
using BodyName = std::array<char, 32>;

std::string_view bodyFileName(BodyName& name, int counter, std::size_t length, std::string_view extension) {
  char* p = name.data();
  auto append = [&](std::string_view text) { p = std::copy(text.begin(), text.end(), p); };
  append("tnef_");
  p = std::to_chars(p, p + 11, counter).ptr;
  append("_");
  p = std::to_chars(p, p + 16, length, 16).ptr;
  append(extension);
  return {name.data(), static_cast<std::size_t>(p - name.data())};
}

void printSaving(std::string_view line, std::string_view target) {
  out::text(line);
  out::text(target);
  out::ch('\n');
}

// ---- Text bodies ----

// A body's text and how it is written: bytes as they stand, 8-bit text
// converted to UTF-8 (from a code page, or windows-1252 when there is none
// and it is not UTF-8 already), or UTF-16LE as UTF-8.
struct BodyText {
  ByteView bytes;
  BodyEncoding encoding;
  const codepage::CodePage* page;  // for 8-bit text; nullptr: none usable
  bool asStored = false;           // 8-bit text kept in its own bytes (HTML names its charset)
};

// Bytes, and 8-bit HTML, are written as they stand.
bool keepsBytes(const BodyText& body) {
  return body.encoding == BodyEncoding::binary || (body.asStored && body.encoding == BodyEncoding::text8);
}

// The text as UTF-8 (a text value's rules), or the bytes as they stand.
bool produceBodyText(const void* source, BlockSink write, void* context) {
  const BodyText& body = *static_cast<const BodyText*>(source);
  if (keepsBytes(body)) return body.bytes.empty() || write(body.bytes, context);
  constexpr std::uint16_t PT_STRING8 = 0x001E, PT_UNICODE = 0x001F;
  PropertyValue text{body.encoding == BodyEncoding::utf16 ? PT_UNICODE : PT_STRING8, body.bytes, body.page};
  return writeTextValue(&text, write, context);
}

FileContents bodyContents(const BodyText& body) { return {produceBodyText, &body, keepsBytes(body) ? body.bytes.size() : 0}; }

BodyText bodyText(ByteView data, BodyEncoding encoding, const codepage::CodePage* page) {
  return {encoding == BodyEncoding::text8 ? untilNul(data) : data, encoding, page};
}

// Counts the body, then announces it, or saves it under its numbered name
// after saying so.
void handleBody(int& counter, std::string_view extension, std::size_t storedLength, const BodyText& body,
                std::string_view contains, std::string_view saving) {
  BodyName name;
  std::string_view fileName = bodyFileName(name, counter++, storedLength, extension);
  if (!decoder().saveFiles) {
    out::text(contains);
    return;
  }
  std::string_view target = fileNameToCreate(fileName);
  printSaving(saving, target);
  saveToFile(target, bodyContents(body));
}

// ---- Compressed RTF ----

struct Encapsulated {
  const CompressedRtf* rtf;
  RtfEncapsulation kind;
};

// The HTML (after a byte-order mark, which browsers put above the page's
// own charset) or the text, recovered while the RTF is expanded.
bool produceEncapsulated(const void* source, BlockSink write, void* context) {
  const Encapsulated& body = *static_cast<const Encapsulated*>(source);
  static constexpr std::uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
  if (body.kind == RtfEncapsulation::html && !write(ByteView(kByteOrderMark, sizeof kByteOrderMark), context)) return false;
  return deencapsulate(*body.rtf, body.kind, write, context);
}

// The RTF file's name with ".html" or ".txt" for ".rtf".
// (The RTF file's name is one of ours, well under 255 bytes.)
std::string_view encapsulatedFileName(char (&name)[kScratchSize], std::string_view rtfName, RtfEncapsulation kind) {
  std::string_view extension = kind == RtfEncapsulation::html ? ".html" : ".txt";
  std::string_view stem = rtfName.substr(0, rtfName.size() - std::string_view(".rtf").size());
  char* end = std::copy(stem.begin(), stem.end(), name);
  end = std::copy(extension.begin(), extension.end(), end);
  return {name, static_cast<std::size_t>(end - name)};
}

// Beside a sound RTF body, the HTML or text it encapsulates, if any.
void saveEncapsulated(std::string_view rtfName, const CompressedRtf& rtf) {
  RtfEncapsulation kind = probeEncapsulation(rtf);
  if (kind == RtfEncapsulation::none) return;
  char name[kScratchSize];
  std::string_view target = fileNameToCreate(encapsulatedFileName(name, rtfName, kind));
  printSaving(kind == RtfEncapsulation::html ? "\tSaving HTML body to " : "\tSaving text body to ", target);
  Encapsulated body{&rtf, kind};
  saveToFile(target, FileContents{produceEncapsulated, &body, 0});
}

// The RTF of a compressed body, or the body as it stands when it is damaged
// (what is left of it may still help); then what the RTF encapsulates.
void saveCompressedRtf(std::string_view target, ByteView value) {
  CompressedRtf rtf = inspectCompressedRtf(value);
  if (rtf.damage != RtfDamage::none) {
    out::error("Damaged compressed RTF saved as it stands to %.*s\n", static_cast<int>(target.size()), target.data());
    saveToFile(target, value);
    return;
  }
  auto expand = [](const void* source, BlockSink write, void* context) {
    return expandCompressedRtf(*static_cast<const CompressedRtf*>(source), write, context);
  };
  saveToFile(target, FileContents{expand, &rtf, rtf.rawSize});
  saveEncapsulated(target, rtf);
}

}  // namespace

RtfEncapsulation probeEncapsulation(const CompressedRtf& rtf) {
  EncapsulationProbe probe;
  auto feed = [](ByteView block, void* context) { return !static_cast<EncapsulationProbe*>(context)->feed(block); };
  expandCompressedRtf(rtf, feed, &probe);
  return probe.result();
}

bool deencapsulate(const CompressedRtf& rtf, RtfEncapsulation mode, BlockSink write, void* context) {
  RtfDeencapsulator decoder(mode, write, context);
  auto feed = [](ByteView block, void* reader) { return static_cast<RtfDeencapsulator*>(reader)->feed(block); };
  return expandCompressedRtf(rtf, feed, &decoder) && decoder.finish();
}

void handleCompressedRtf(ByteView data) {
  BodyName name;
  std::string_view fileName = bodyFileName(name, decoder().rtfFileCounter++, data.size(), ".rtf");
  MessageRecord* message = currentMessage();
  if (decoder().keepWholeMessages && message != nullptr && message->rtfBodyName[0] == '\0') {
    *std::copy(fileName.begin(), fileName.end(), message->rtfBodyName) = '\0';
  }
  if (decoder().keepModel && inspectCompressedRtf(data).damage != RtfDamage::none) {
    noteDamage(DamageKind::damagedRtf, data.data());
  }
  if (!decoder().saveFiles) {
    out::text("\tContains Compressed RTF MAPI property\n");
    return;
  }
  std::string_view target = fileNameToCreate(fileName);
  printSaving("\tSaving Compressed RTF to ", target);
  saveCompressedRtf(target, data);
}

void handleHtmlBodyProperty(ByteView data, BodyEncoding encoding) {
  // HTML says its own character set: 8-bit HTML is saved as it stands.
  BodyText body = bodyText(data, encoding, nullptr);
  body.asStored = true;
  handleBody(decoder().htmlFileCounter, ".html", data.size(), body,
             "\tContains HTML body MAPI property\n", "\tSaving HTML body to ");
}

void handleTextBodyProperty(ByteView data, BodyEncoding encoding) {
  handleBody(decoder().textFileCounter, ".txt", data.size(), bodyText(data, encoding, streamState().codePage),
             "\tContains text body MAPI property\n", "\tSaving text body to ");
}

void saveTextBodyAttribute(ByteView value) {
  handleBody(decoder().textFileCounter, ".txt", value.size(), bodyText(value, BodyEncoding::text8, streamState().codePage),
             "", "Saving text body to ");
}

}  // namespace wendrel
