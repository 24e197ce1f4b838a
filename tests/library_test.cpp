// The C interface: what it refuses, every kind of value it reads, the model
// of generated and real streams against wendrel's own account of them, and
// many decoders in many threads at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "calendar_builder.h"
#include "compound_file_builder.h"
#include "contact_builder.h"
#include "model_dump.h"
#include "process.h"
#include "rtf_builder.h"
#include "wendrel.h"
#include "wendrel/tnef.h"

namespace wendrel::test {
namespace {

// ---- Holding handles ----

struct DecoderDeleter {
  void operator()(wendrel_decoder* decoder) const { wendrel_decoder_free(decoder); }
};
struct MessageDeleter {
  void operator()(wendrel_message* message) const { wendrel_message_free(message); }
};
using DecoderHandle = std::unique_ptr<wendrel_decoder, DecoderDeleter>;
using MessageHandle = std::unique_ptr<wendrel_message, MessageDeleter>;

DecoderHandle newDecoder() {
  wendrel_decoder* decoder = nullptr;
  EXPECT_EQ(wendrel_decoder_new(&decoder), WENDREL_OK);
  return DecoderHandle(decoder);
}

MessageHandle decodeBytes(const Bytes& stream, unsigned flags = 0, wendrel_status expected = WENDREL_OK) {
  DecoderHandle decoder = newDecoder();
  wendrel_message* message = nullptr;
  EXPECT_EQ(wendrel_decode(decoder.get(), stream.data(), stream.size(), flags, &message), expected)
      << wendrel_decoder_error(decoder.get());
  return MessageHandle(message);
}

std::string body(const wendrel_message* message, wendrel_body which) {
  Collected text = collect([&](wendrel_write_fn write, void* context) {
    return wendrel_message_body(message, which, write, context);
  });
  return text.status == WENDREL_OK ? text.text : std::string("<") + wendrel_status_text(text.status) + ">";
}

std::vector<std::pair<wendrel_damage, std::uint64_t>> damageOf(const wendrel_message* message) {
  std::vector<std::pair<wendrel_damage, std::uint64_t>> found;
  for (std::size_t i = 0; i < wendrel_message_damage_count(message); ++i) {
    wendrel_damage kind;
    std::uint64_t offset = 0;
    EXPECT_EQ(wendrel_message_damage(message, i, &kind, &offset), WENDREL_OK);
    found.emplace_back(kind, offset);
  }
  return found;
}

// ---- What it refuses ----

TEST(Library, VersionAndStatuses) {
  EXPECT_STREQ(wendrel_version(), WENDREL_VERSION_STRING);
  EXPECT_EQ(wendrel_version_number(), WENDREL_VERSION_NUMBER);
  EXPECT_EQ(std::string(WENDREL_VERSION_STRING).rfind(WENDREL_PROJECT_VERSION ".", 0), 0u);
  std::set<std::string> texts;
  for (int status = WENDREL_OK; status <= WENDREL_ERROR_WRITE; ++status) {
    texts.insert(wendrel_status_text(static_cast<wendrel_status>(status)));
  }
  EXPECT_EQ(texts.size(), 8u);
}

TEST(Library, RefusesOrDecodesAsAsked) {
  Bytes good = StreamBuilder().record(attSubject, cString("Hi")).bytes();
  Bytes wrong = StreamBuilder(0x1234, 0x12345678).record(attSubject, cString("Hi")).bytes();
  DecoderHandle decoder = newDecoder();
  wendrel_message* message = nullptr;
  struct Case {
    const char* name;
    const void* data;
    std::size_t size;
    unsigned flags;
    wendrel_status status;
  } cases[] = {
      {"null data", nullptr, 4, 0, WENDREL_ERROR_ARGUMENT},
      {"empty", good.data(), 0, 0, WENDREL_ERROR_NOT_TNEF},
      {"three bytes", good.data(), 3, 0, WENDREL_ERROR_NOT_TNEF},
      {"wrong signature", wrong.data(), wrong.size(), 0, WENDREL_ERROR_NOT_TNEF},
      {"4 GiB", good.data(), std::size_t{1} << 32, WENDREL_DECODE_BORROW, WENDREL_ERROR_TOO_LARGE},
      {"good", good.data(), good.size(), 0, WENDREL_OK},
      {"wrong signature, any asked", wrong.data(), wrong.size(), WENDREL_DECODE_ANY_SIGNATURE, WENDREL_OK},
      {"empty, any asked", nullptr, 0, WENDREL_DECODE_ANY_SIGNATURE, WENDREL_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wendrel_decode(decoder.get(), c.data, c.size, c.flags, &message), c.status) << c.name;
    EXPECT_EQ(message != nullptr, c.status == WENDREL_OK) << c.name;
    EXPECT_EQ(std::string(wendrel_decoder_error(decoder.get())).empty(), c.status == WENDREL_OK) << c.name;
    if (std::string_view(c.name) == "wrong signature, any asked") {
      EXPECT_EQ(wendrel_message_signature_ok(message), 0);
      EXPECT_EQ(damageOf(message), (std::vector<std::pair<wendrel_damage, std::uint64_t>>{{WENDREL_DAMAGE_BAD_SIGNATURE, 0}}));
      EXPECT_EQ(wendrel_message_attribute_count(message), 1u);
    }
    if (std::string_view(c.name) == "empty, any asked") {
      EXPECT_EQ(damageOf(message), (std::vector<std::pair<wendrel_damage, std::uint64_t>>{{WENDREL_DAMAGE_SHORT_STREAM, 0}}));
    }
    wendrel_message_free(message);
  }
  EXPECT_EQ(wendrel_decode(nullptr, good.data(), good.size(), 0, &message), WENDREL_ERROR_ARGUMENT);
  EXPECT_EQ(wendrel_decode(decoder.get(), good.data(), good.size(), 0, nullptr), WENDREL_ERROR_ARGUMENT);
  EXPECT_EQ(wendrel_decoder_new(nullptr), WENDREL_ERROR_ARGUMENT);
  // Every reader takes a null handle without harm.
  EXPECT_EQ(wendrel_message_attachment_count(nullptr), 0u);
  EXPECT_EQ(wendrel_property_list_get(wendrel_message_properties(nullptr), 0), nullptr);
  EXPECT_EQ(wendrel_attachment_data(nullptr, nullptr), nullptr);
  EXPECT_EQ(wendrel_message_body(nullptr, WENDREL_BODY_TEXT, wendrel_buffer_write, nullptr), WENDREL_ERROR_ARGUMENT);
}

// The message keeps a copy unless told to borrow: the caller's bytes may go.
TEST(Library, KeepsItsOwnCopyUnlessItBorrows) {
  Bytes stream = StreamBuilder().record(attSubject, cString("Kept")).bytes();
  MessageHandle copied = decodeBytes(stream);
  MessageHandle borrowed = decodeBytes(stream, WENDREL_DECODE_BORROW);
  std::size_t size = 0;
  EXPECT_NE(wendrel_attribute_data(wendrel_message_attribute(copied.get(), 0), &size), stream.data() + 15);
  EXPECT_EQ(wendrel_attribute_data(wendrel_message_attribute(borrowed.get(), 0), &size), stream.data() + 15);
  std::fill(stream.begin(), stream.end(), 0);
  Collected subject = collect([&](wendrel_write_fn w, void* c) { return wendrel_message_subject(copied.get(), w, c); });
  EXPECT_EQ(subject.text, "Kept");
}

// ---- Values ----

TEST(Library, EveryKindOfValue) {
  Bytes clsid;
  for (int i = 0; i < 16; ++i) clsid.push_back(static_cast<std::uint8_t>(i));
  Bytes r4 = dwordBytes(0x3FC00000);  // 1.5f
  Bytes systime = filetimeBytes(1709629200);
  ItemProperties p;
  p.tagged(0x6001, 0x0002, wordBytes(0xFFFE))             // PT_I2 -2
      .integer(0x6002, -7)                                 // PT_LONG
      .tagged(0x6003, 0x0004, r4)                          // PT_R4
      .tagged(0x6004, 0x0005, Bytes{0, 0, 0, 0, 0, 0, 0x04, 0x40})  // PT_DOUBLE 2.5
      .tagged(0x6005, 0x000B, dwordBytes(2))               // PT_BOOLEAN, any nonzero
      .tagged(0x6006, 0x0014, Bytes{1, 0, 0, 0, 1, 0, 0, 0})  // PT_I8
      .tagged(0x6007, 0x0040, systime)
      .tagged(0x6008, 0x0048, clsid)
      .text8(0x6009, "caf\xE9")                            // 8-bit, windows-1252 for want of a code page
      .text(0x600A, "Zoë")
      .binary(0x600B, Bytes{9, 8, 7})
      .tagged(0x600C, 0x1003, [] {                         // PT_MV_LONG
        Bytes v = dwordBytes(3);
        for (std::uint32_t x : {10u, 20u, 30u}) appendBytes(v, dwordBytes(x));
        return v;
      }())
      .texts(NamedSet::publicStrings, "Keywords", {"a", "ß"})
      .binaries(NamedSet::address, 0x8054, {Bytes{1}, Bytes{2, 3}})
      .integer(NamedSet::address, 0x8022, 2);
  MessageHandle message = decodeBytes(StreamBuilder().record(attMAPIProps, p.bytes()).bytes());
  const wendrel_property_list* list = wendrel_message_properties(message.get());
  ASSERT_EQ(wendrel_property_list_count(list), 15u);
  EXPECT_TRUE(wendrel_property_list_complete(list));
  struct Expected {
    std::uint32_t tag;
    const char* type;
    std::vector<std::string> values;
  } expected[] = {
      {0x60010002, "PT_I2", {"-2"}},
      {0x60020003, "PT_LONG", {"-7"}},
      {0x60030004, "PT_R4", {"1.5"}},
      {0x60040005, "PT_DOUBLE", {"2.5"}},
      {0x6005000B, "PT_BOOLEAN", {"1"}},
      {0x60060014, "PT_I8", {"4294967297"}},
      {0x60070040, "PT_SYSTIME", {"ticks 133541028000000000"}},
      {0x60080048, "PT_CLSID", {"000102030405060708090a0b0c0d0e0f"}},
      {0x6009001E, "PT_STRING8", {"\"café\""}},
      {0x600A001F, "PT_UNICODE", {"\"Zoë\""}},
      {0x600B0102, "PT_BINARY", {"bytes 3:"}},
      {0x600C1003, "PT_MV_LONG", {"10", "20", "30"}},
      {0x8000101F, "PT_MV_UNICODE", {"\"a\"", "\"ß\""}},
      {0x80011102, "PT_MV_BINARY", {"bytes 1:", "bytes 2:"}},
      {0x80020003, "PT_LONG", {"2"}},
  };
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const wendrel_property* property = wendrel_property_list_get(list, i);
    const Expected& e = expected[i];
    EXPECT_EQ(wendrel_property_tag(property), e.tag) << i;
    EXPECT_STREQ(wendrel_property_type_name(property), e.type) << i;
    ASSERT_EQ(wendrel_property_value_count(property), e.values.size()) << i;
    for (std::size_t v = 0; v < e.values.size(); ++v) {
      EXPECT_EQ(valueText(property, v).rfind(e.values[v], 0), 0u) << i << ": " << valueText(property, v);
    }
    EXPECT_EQ(wendrel_property_list_find(list, e.tag), property) << i;
  }
  EXPECT_EQ(wendrel_ticks_to_unix(133541028000000000), 1709629200);
  EXPECT_EQ(wendrel_ticks_to_unix(-1), -11644473601);
  // Reading a value as another type, or past the last, fails and says why.
  std::int64_t number = 0;
  const wendrel_property* text = wendrel_property_list_get(list, 9);
  EXPECT_EQ(wendrel_property_integer(text, 0, &number), WENDREL_ERROR_TYPE);
  EXPECT_EQ(wendrel_property_integer(wendrel_property_list_get(list, 11), 3, &number), WENDREL_ERROR_ARGUMENT);
  // Named properties by set and number, or by name in any case.
  std::uint8_t address[16], strings[16];
  std::copy_n(setGuid(NamedSet::address).begin(), 16, address);
  std::copy_n(setGuid(NamedSet::publicStrings).begin(), 16, strings);
  const wendrel_property* postal = wendrel_property_list_find_number(list, address, 0x8022);
  ASSERT_NE(postal, nullptr);
  EXPECT_EQ(wendrel_property_id(postal), 0x8002);
  EXPECT_EQ(wendrel_property_list_find_name(list, strings, "KEYWORDS"), wendrel_property_list_get(list, 12));
  EXPECT_EQ(wendrel_property_list_find_name(list, address, "Keywords"), nullptr);
  EXPECT_TRUE(wendrel_property_name_is_string(wendrel_property_list_get(list, 12)));
  EXPECT_EQ(propertyString(wendrel_property_list_get(list, 12), 1), "ß");
}

// ---- Attributes, recipients, attachments ----

TEST(Library, AttributesRecipientsAndAttachments) {
  Bytes inner = StreamBuilder().record(attSubject, cString("Inner"))
                    .record(attAttachRenddata, Bytes(14, 0), 2).record(attAttachTitle, cString("deep.txt"), 2)
                    .record(attAttachData, textBytes("deep"), 2).bytes();
  Bytes picture = textBytes("BM");
  for (int i = 0; i < 5000; ++i) picture.push_back(static_cast<std::uint8_t>(i * 7));
  Bytes rows = recipientTable({recipientRow("Ada", "ada@example.org", 1), recipientRow("Grace", "grace@example.org", 2)});
  Bytes attachmentProps = MapiListBuilder().unicode(0x3707001F, "long name.txt").unicode(0x370E001F, "text/plain")
                              .unicode(0x3712001F, "<part1@example.org>").bytes();
  StreamBuilder stream;
  stream.record(attSubject, cString("Outer")).recordWithChecksum(attMessageID, cString("id"), 0xBEEF)
      .record(attRecipTable, rows)
      .record(attAttachRenddata, Bytes(14, 0), 2).record(attAttachTitle, cString("short.txt"), 2)
      .record(attAttachData, textBytes("hello"), 2).record(attAttachment, attachmentProps, 2)
      .record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachment, objectProperties({oleObject(buildCompoundFile({{"CONTENTS", picture}}).bytes)}, "pic"), 2)
      .record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachment, objectProperties({embeddedMessage(inner)}, "Forwarded"), 2);
  MessageHandle message = decodeBytes(stream.bytes());
  const wendrel_message* m = message.get();
  // Every record, with where it is and what it belongs to.
  ASSERT_EQ(wendrel_message_attribute_count(m), 11u);
  const wendrel_attribute* id = wendrel_message_attribute(m, 1);
  EXPECT_EQ(wendrel_attribute_id(id), attMessageID);
  EXPECT_STREQ(wendrel_attribute_name(id), "attMessageID");
  EXPECT_EQ(wendrel_attribute_offset(id), 6u + 11 + 6);
  EXPECT_EQ(wendrel_attribute_checksum(id), 0xBEEF);
  EXPECT_FALSE(wendrel_attribute_checksum_ok(id));
  EXPECT_TRUE(wendrel_attribute_checksum_ok(wendrel_message_attribute(m, 0)));
  EXPECT_EQ(wendrel_attribute_attachment(id), static_cast<std::size_t>(-1));
  EXPECT_EQ(wendrel_attribute_attachment(wendrel_message_attribute(m, 4)), 0u);
  EXPECT_EQ(wendrel_attribute_level(wendrel_message_attribute(m, 4)), 2);
  // The recipient rows.
  ASSERT_EQ(wendrel_message_recipient_count(m), 2u);
  EXPECT_EQ(propertyString(wendrel_property_list_find(wendrel_message_recipient(m, 1), 0x3003001F)), "grace@example.org");
  // The attachments: data under its long name, an OLE picture, a message.
  ASSERT_EQ(wendrel_message_attachment_count(m), 3u);
  struct Expected {
    wendrel_attachment_kind kind;
    std::string name, data;
    std::size_t records;
  } expected[] = {
      {WENDREL_ATTACHMENT_DATA, "long name.txt", "hello", 4},
      {WENDREL_ATTACHMENT_OLE_PICTURE, "pic.bmp", std::string(picture.begin(), picture.end()), 2},
      {WENDREL_ATTACHMENT_MESSAGE, "Forwarded", std::string(inner.begin(), inner.end()), 2},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const wendrel_attachment* a = wendrel_message_attachment(m, i);
    std::size_t size = 0;
    const std::uint8_t* data = wendrel_attachment_data(a, &size);
    EXPECT_EQ(wendrel_attachment_kind_of(a), expected[i].kind) << i;
    EXPECT_STREQ(wendrel_attachment_name(a), expected[i].name.c_str()) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), expected[i].data) << i;
    EXPECT_EQ(wendrel_attachment_attribute_count(a), expected[i].records) << i;
  }
  const wendrel_attachment* first = wendrel_message_attachment(m, 0);
  EXPECT_STREQ(wendrel_attachment_mime_type(first), "text/plain");
  EXPECT_STREQ(wendrel_attachment_content_id(first), "<part1@example.org>");
  EXPECT_EQ(wendrel_attachment_mime_type(wendrel_message_attachment(m, 1)), nullptr);
  const wendrel_message* attached = wendrel_attachment_message(wendrel_message_attachment(m, 2));
  ASSERT_NE(attached, nullptr);
  EXPECT_EQ(collect([&](wendrel_write_fn w, void* c) { return wendrel_message_subject(attached, w, c); }).text, "Inner");
  EXPECT_STREQ(wendrel_attachment_name(wendrel_message_attachment(attached, 0)), "deep.txt");
  const Bytes& all = stream.bytes();
  EXPECT_EQ(wendrel_message_offset(attached),
            static_cast<std::size_t>(std::search(all.begin(), all.end(), inner.begin(), inner.end()) - all.begin()));
  wendrel_message_free(const_cast<wendrel_message*>(attached));  // not the top: ignored
  EXPECT_EQ(wendrel_message_attachment_count(attached), 1u);
}

// ---- Bodies and items ----

TEST(Library, BodiesAndItems) {
  std::string rtf = "{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag64 <p>}Hi{\\*\\htmltag72 </p>}}";
  ItemProperties p;
  p.text8(0x1000, "plain text").binary(0x1013, textBytes("<p>caf\xE9</p>")).integer(0x3FDE, 1252)
      .binary(0x1009, compressedRtf(rtf));
  MessageHandle note = decodeBytes(StreamBuilder().record(attMAPIProps, p.bytes()).bytes());
  EXPECT_EQ(body(note.get(), WENDREL_BODY_TEXT), "plain text");
  EXPECT_EQ(body(note.get(), WENDREL_BODY_HTML), "<p>caf\xE9</p>");
  EXPECT_EQ(body(note.get(), WENDREL_BODY_HTML_UTF8), "<p>café</p>");
  EXPECT_STREQ(wendrel_message_html_charset(note.get()), "windows-1252");
  EXPECT_EQ(body(note.get(), WENDREL_BODY_RTF), rtf);
  EXPECT_EQ(body(note.get(), WENDREL_BODY_RTF_HTML), "<p>Hi</p>");
  EXPECT_EQ(body(note.get(), WENDREL_BODY_RTF_TEXT), "Hi");
  EXPECT_EQ(wendrel_message_calendar(note.get(), wendrel_buffer_write, nullptr), WENDREL_ERROR_ABSENT);
  char name[WENDREL_NAME_MAX];
  EXPECT_EQ(wendrel_message_item_file_name(note.get(), name), WENDREL_ERROR_ABSENT);

  // Only an RTF body: its text is the message's text.
  ItemProperties rtfOnly;
  rtfOnly.binary(0x1009, compressedRtf("{\\rtf1\\ansi Quarterly figures\\par}"));
  MessageHandle plain = decodeBytes(StreamBuilder().record(attMAPIProps, rtfOnly.bytes()).bytes());
  EXPECT_EQ(body(plain.get(), WENDREL_BODY_TEXT), "Quarterly figures\r\n");
  EXPECT_EQ(body(plain.get(), WENDREL_BODY_HTML), "<there is no such value>");
  EXPECT_EQ(body(plain.get(), WENDREL_BODY_RTF_HTML), "<there is no such value>");
  EXPECT_EQ(wendrel_message_html_charset(plain.get()), nullptr);

  // A meeting and a contact are the texts wendrel saves.
  ItemProperties meeting;
  meeting.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, 1709629200)
      .time(NamedSet::appointment, 0x820E, 1709632800);
  MessageHandle item = decodeBytes(calendarStream("IPM.Appointment", meeting));
  Collected calendar = collect([&](wendrel_write_fn w, void* c) { return wendrel_message_calendar(item.get(), w, c); });
  EXPECT_NE(calendar.text.find("SUMMARY:Review\r\n"), std::string::npos) << calendar.text;
  EXPECT_EQ(wendrel_message_item_file_name(item.get(), name), WENDREL_OK);
  EXPECT_STREQ(name, "Review.ics");
  MessageHandle card = decodeBytes(contactStream("IPM.Contact", typicalContact()));
  Collected vcard = collect([&](wendrel_write_fn w, void* c) { return wendrel_message_vcard(card.get(), w, c); });
  EXPECT_NE(vcard.text.find("\r\nFN:Zoë Ångström\r\n"), std::string::npos) << vcard.text;
  EXPECT_EQ(wendrel_message_item_file_name(card.get(), name), WENDREL_OK);
  EXPECT_STREQ(name, "Zoë Ångström.vcf");
  // A write function that stops the output stops it.
  auto refuse = [](void*, const void*, std::size_t) { return 1; };
  EXPECT_EQ(wendrel_message_calendar(item.get(), refuse, nullptr), WENDREL_ERROR_WRITE);
  EXPECT_EQ(wendrel_message_body(note.get(), WENDREL_BODY_TEXT, refuse, nullptr), WENDREL_ERROR_WRITE);
}

// ---- Damage ----

TEST(Library, DamageIsListedWhereItWasMet) {
  Bytes listCut = MapiListBuilder().unicode(0x0037001F, "cut").bytesWithCount(2);
  Bytes tableCut = dwordBytes(5);
  Bytes rtf = compressedRtf("{\\rtf1 x}");
  rtf[12] ^= 0xFF;  // its CRC
  Bytes deep = StreamBuilder().record(attSubject, cString("bottom")).bytes();
  for (int level = 0; level < 9; ++level) {
    deep = StreamBuilder().record(attAttachRenddata, Bytes(14, 0), 2)
               .record(attAttachment, objectProperties({embeddedMessage(deep)}, "m"), 2).bytes();
  }
  struct Case {
    const char* name;
    Bytes stream;
    wendrel_damage kind;
    std::uint64_t offset;
  } cases[] = {
      {"record", StreamBuilder().record(attSubject, cString("s")).recordClaiming(attBody, 100, textBytes("x")).bytes(),
       WENDREL_DAMAGE_TRUNCATED_RECORD, 6 + 13},
      {"property list", StreamBuilder().record(attMAPIProps, listCut).bytes(), WENDREL_DAMAGE_TRUNCATED_PROPERTIES,
       6 + 9},
      {"recipient table", StreamBuilder().record(attRecipTable, tableCut).bytes(), WENDREL_DAMAGE_TRUNCATED_RECIPIENTS,
       6 + 9},
      {"rtf", StreamBuilder().record(attMAPIProps, MapiListBuilder().counted(0x10090102, rtf).bytes()).bytes(),
       WENDREL_DAMAGE_RTF, 6 + 9 + 16},
  };
  for (const Case& c : cases) {
    MessageHandle message = decodeBytes(c.stream);
    EXPECT_EQ(damageOf(message.get()), (std::vector<std::pair<wendrel_damage, std::uint64_t>>{{c.kind, c.offset}}))
        << c.name;
  }
  // Nine levels: the eighth message says the ninth is too deep.
  MessageHandle nested = decodeBytes(deep);
  const wendrel_message* m = nested.get();
  for (int level = 0; level < 8; ++level) {
    EXPECT_TRUE(damageOf(m).empty()) << level;
    m = wendrel_attachment_message(wendrel_message_attachment(m, 0));
    ASSERT_NE(m, nullptr) << level;
  }
  ASSERT_EQ(damageOf(m).size(), 1u);
  EXPECT_EQ(damageOf(m)[0].first, WENDREL_DAMAGE_NESTED_TOO_DEEP);
  EXPECT_EQ(wendrel_attachment_message(wendrel_message_attachment(m, 0)), nullptr);
}

// ---- Real streams ----

// The labels wendrel -v prints string properties of attMAPIProps under.
std::string labelOf(std::uint16_t id) {
  switch (id) {
    case 0x003D: return "\tSubject Prefix: ";
    case 0x0070: return "\tConversation Topic: ";
    case 0x0C1E: return "\tSender Address Type: ";
    case 0x0C1F: return "\tSender Email Address: ";
    case 0x1008: return "\tRTF Sync body tag: ";
    default: return "\tUnknown String: ";
  }
}

// At most 255 bytes, cut between characters, as wendrel shows a text.
std::string shownText(std::string text) {
  if (text.size() <= 255) return text;
  std::size_t cut = 255;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

// The lines wendrel -v prints of the model's string properties, in the order
// it prints them: a message's own list where its attMAPIProps record is, an
// attached message's where its attachment's properties are.
void printedLines(const wendrel_message* m, std::vector<std::string>& lines) {
  bool listed = false;
  for (std::size_t i = 0; i < wendrel_message_attribute_count(m); ++i) {
    const wendrel_attribute* a = wendrel_message_attribute(m, i);
    if (wendrel_attribute_id(a) == attMAPIProps && !listed) {
      listed = true;
      const wendrel_property_list* list = wendrel_message_properties(m);
      for (std::size_t p = 0; p < wendrel_property_list_count(list); ++p) {
        const wendrel_property* property = wendrel_property_list_get(list, p);
        std::uint16_t type = wendrel_property_type(property);
        if (type != WENDREL_PT_STRING8 && type != WENDREL_PT_UNICODE) continue;
        lines.push_back(labelOf(wendrel_property_id(property)) + shownText(propertyString(property)) + "\n");
      }
    }
    std::size_t index = wendrel_attribute_attachment(a);
    if (wendrel_attribute_id(a) == attAttachment && index != static_cast<std::size_t>(-1)) {
      if (const wendrel_message* attached = wendrel_attachment_message(wendrel_message_attachment(m, index))) {
        printedLines(attached, lines);
      }
    }
  }
}

// Every saved attachment (data and OLE objects), by contents, with its name.
void savedParts(const wendrel_message* m, std::multiset<std::pair<std::string, std::string>>& parts) {
  for (std::size_t i = 0; i < wendrel_message_attachment_count(m); ++i) {
    const wendrel_attachment* a = wendrel_message_attachment(m, i);
    if (const wendrel_message* attached = wendrel_attachment_message(a)) {
      savedParts(attached, parts);
    } else if (wendrel_attachment_kind_of(a) != WENDREL_ATTACHMENT_NONE) {
      std::size_t size = 0;
      const auto* data = reinterpret_cast<const char*>(wendrel_attachment_data(a, &size));
      parts.emplace(data != nullptr ? std::string(data, size) : std::string(), wendrel_attachment_name(a));
    }
  }
}

// A saved name without the -N a repeated name gets.
std::string withoutSuffix(const std::string& saved, const std::set<std::string>& names) {
  if (names.count(saved) != 0) return saved;
  std::size_t dot = saved.rfind('.');
  std::string stem = dot != std::string::npos && dot != 0 ? saved.substr(0, dot) : saved;
  std::string extension = saved.substr(stem.size());
  std::size_t dash = stem.rfind('-');
  return dash != std::string::npos ? stem.substr(0, dash) + extension : saved;
}

TEST(Library, TheModelIsWhatWendrelShowsAndSaves) {
  if (corpusFiles().empty()) GTEST_SKIP() << noCorpus();
  for (const fs::path& file : corpusFiles()) {
    std::string label = file.filename().string();
    std::string bytes = readFile(file);
    MessageHandle message = decodeBytes(Bytes(bytes.begin(), bytes.end()), WENDREL_DECODE_ANY_SIGNATURE);
    ASSERT_NE(message, nullptr) << label;
    // Every string property wendrel -v shows, in its order.
    RunResult verbose = runWendrel({"-v", file.string()});
    std::vector<std::string> lines;
    printedLines(message.get(), lines);
    std::size_t at = 0;
    for (const std::string& line : lines) {
      std::size_t found = verbose.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << label << ": " << line;
      at = found + line.size();
    }
    // Every attachment wendrel -s saves, with its contents, under its name.
    TempDir dir;
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult saving = runWendrel({"-s", file.string()}, options);
    std::multiset<std::pair<std::string, std::string>> model, saved;
    savedParts(message.get(), model);
    std::set<std::string> names;
    for (const auto& part : model) names.insert(part.second);
    for (std::size_t line = saving.out.find("Attachment saved to file "); line != std::string::npos;
         line = saving.out.find("Attachment saved to file ", line + 1)) {
      std::size_t start = line + std::string_view("Attachment saved to file ").size();
      std::string name = saving.out.substr(start, saving.out.find('\n', start) - start);
      saved.emplace(readFile(dir / name), withoutSuffix(name, names));
    }
    EXPECT_EQ(model, saved) << label;
    // The message's first bodies are the files numbered 0.
    for (const auto& [kind, extension] : {std::pair{WENDREL_BODY_RTF, ".rtf"}, std::pair{WENDREL_BODY_HTML, ".html"}}) {
      std::string expected = body(message.get(), kind);
      if (expected.front() == '<' && expected.back() == '>' && expected.find("no such") != std::string::npos) continue;
      bool matched = false;
      for (const auto& entry : fs::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        // (An RTF body's encapsulated HTML is tnef_0_... .html too.)
        if (name.rfind("tnef_0_", 0) == 0 && name.ends_with(extension)) matched = matched || readFile(entry.path()) == expected;
      }
      EXPECT_TRUE(matched) << label << " " << extension;
    }
  }
}

// Eight threads decode every real stream over and over, each with decoders of
// its own; every result is the one a lone decoder gives.
TEST(Library, ManyDecodersInManyThreads) {
  if (corpusFiles().empty()) GTEST_SKIP() << noCorpus();
  std::vector<Bytes> streams;
  std::vector<std::string> alone;
  for (const fs::path& file : corpusFiles()) {
    std::string bytes = readFile(file);
    streams.emplace_back(bytes.begin(), bytes.end());
    alone.push_back(dumpModel(decodeBytes(streams.back(), WENDREL_DECODE_ANY_SIGNATURE).get()));
  }
  constexpr int kThreads = 8, kRounds = 3;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      wendrel_decoder* decoder = nullptr;
      if (wendrel_decoder_new(&decoder) != WENDREL_OK) return ++mismatches, void();
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < streams.size(); ++i) {
          std::size_t which = (i + static_cast<std::size_t>(t)) % streams.size();  // each thread in its own order
          wendrel_message* message = nullptr;
          if (wendrel_decode(decoder, streams[which].data(), streams[which].size(), WENDREL_DECODE_ANY_SIGNATURE,
                             &message) != WENDREL_OK ||
              dumpModel(message) != alone[which]) {
            ++mismatches;
          }
          wendrel_message_free(message);
        }
      }
      wendrel_decoder_free(decoder);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace wendrel::test
