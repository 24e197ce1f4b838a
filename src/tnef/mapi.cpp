// The MAPI property list carried by attMAPIProps: a count, then tagged values.
// The walk is bounded by the attribute's value; a property that does not fit
// ends it.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>

#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

int rtfFileCounter = 0;

namespace {

inline constexpr std::uint16_t PT_STRING8 = 0x001E;
inline constexpr std::uint16_t PT_BINARY = 0x0102;
inline constexpr std::uint32_t kCompressedRtfTag = 0x10090102;

// How a type's value is laid out after the tag. Types the walk cannot size
// (objects, Unicode, multi-valued and unknown types) step over the tag only.
enum class Layout : std::uint8_t { tagOnly, fixed4, fixed8, counted };

struct MapiType {
  std::uint16_t code;
  std::string_view name;
  Layout layout;
};

constexpr std::array<MapiType, 14> kMapiTypes{{
    {0x0002, "PT_I2", Layout::fixed4},
    {0x0003, "PT_LONG", Layout::fixed4},
    {0x0004, "PT_R4", Layout::fixed4},
    {0x0005, "PT_DOUBLE", Layout::fixed8},
    {0x0006, "PT_CURRENCY", Layout::fixed8},
    {0x0007, "PT_APPTIME", Layout::fixed8},
    {0x000A, "PT_ERROR", Layout::fixed4},
    {0x000B, "PT_BOOLEAN", Layout::fixed4},
    {0x000D, "PT_OBJECT", Layout::tagOnly},
    {0x0014, "PT_I8", Layout::fixed8},
    {PT_STRING8, "PT_STRING8", Layout::counted},
    {0x001F, "PT_UNICODE", Layout::tagOnly},
    {0x0040, "PT_SYSTIME", Layout::fixed8},
    {PT_BINARY, "PT_BINARY", Layout::counted},
}};
constexpr MapiType kUnknownType{0, "unknown", Layout::tagOnly};

// Every listed code is below this; the type of a property is then one load,
// with no search whose branches the processor cannot predict.
constexpr std::size_t kTypeCodeLimit = PT_BINARY + 1;
constexpr std::uint8_t kNoType = 0xFF;

constexpr std::array<std::uint8_t, kTypeCodeLimit> makeTypeSlots() {
  std::array<std::uint8_t, kTypeCodeLimit> slots{};
  slots.fill(kNoType);
  for (std::size_t i = 0; i < kMapiTypes.size(); ++i) slots[kMapiTypes[i].code] = static_cast<std::uint8_t>(i);
  return slots;
}
constexpr std::array<std::uint8_t, kTypeCodeLimit> kTypeSlots = makeTypeSlots();

const MapiType& findType(std::uint16_t code) {
  std::uint8_t slot = code < kTypeCodeLimit ? kTypeSlots[code] : kNoType;
  return slot != kNoType ? kMapiTypes[slot] : kUnknownType;
}

struct StringLabel {
  std::uint32_t tag;
  std::string_view label;
};

constexpr std::array<StringLabel, 5> kStringLabels{{
    {0x003D001E, "\tSubject Prefix: "},
    {0x0070001E, "\tConversation Topic: "},
    {0x0C1E001E, "\tSender Address Type: "},
    {0x0C1F001E, "\tSender Email Address: "},
    {0x1008001E, "\tRTF Sync body tag: "},
}};

std::string_view stringLabel(std::uint32_t tag) {
  auto it = std::ranges::find(kStringLabels, tag, &StringLabel::tag);
  return it != kStringLabels.end() ? it->label : "\tUnknown String: ";
}

// One property as it lies in the list: where its value data is and how many
// bytes the whole property occupies.
struct Property {
  std::uint32_t tag;
  const MapiType* type;
  ByteView data;  // the counted data; empty for the other layouts
  std::size_t span;
};

constexpr std::size_t kTagSize = 4;
constexpr std::size_t kCountedHeaderSize = 12;  // tag, value count, length

std::size_t padded(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// The property at offset, or nothing when its tag, fixed slot or counted
// header and data reach past the end of the list.
std::optional<Property> readProperty(ByteView list, std::size_t offset) {
  if (!list.contains(offset, kTagSize)) return std::nullopt;
  std::uint32_t tag = list.dword(offset);
  const MapiType& type = findType(static_cast<std::uint16_t>(tag & 0xFFFF));
  switch (type.layout) {
    case Layout::tagOnly: return Property{tag, &type, {}, kTagSize};
    case Layout::fixed4:
      if (!list.contains(offset, kTagSize + 4)) return std::nullopt;
      return Property{tag, &type, {}, kTagSize + 4};
    case Layout::fixed8:
      if (!list.contains(offset, kTagSize + 8)) return std::nullopt;
      return Property{tag, &type, {}, kTagSize + 8};
    case Layout::counted: break;
  }
  if (!list.contains(offset, kCountedHeaderSize)) return std::nullopt;
  std::size_t length = list.dword(offset + 8);
  // The data must fit; its padding may be missing at the very end of the list.
  if (!list.contains(offset + kCountedHeaderSize, length)) return std::nullopt;
  return Property{tag, &type, list.sub(offset + kCountedHeaderSize, length),
                  kCountedHeaderSize + padded(length)};
}

void printStringProperty(std::uint32_t tag, ByteView data) {
  out::text(stringLabel(tag));
  out::text(copyStringValue(data));
  out::ch('\n');
}

// "tnef_<counter>_<length in hex>.rtf", at most 29 characters.
std::string_view rtfFileName(std::array<char, 32>& name, int counter, std::size_t length) {
  std::size_t used = 0;
  auto append = [&](std::string_view text) {
    std::memcpy(name.data() + used, text.data(), text.size());
    used += text.size();
  };
  char number[16];
  append("tnef_");
  append({number, static_cast<std::size_t>(std::to_chars(number, number + sizeof number, counter).ptr - number)});
  append("_");
  append({number, static_cast<std::size_t>(std::to_chars(number, number + sizeof number, length, 16).ptr - number)});
  append(".rtf");
  return {name.data(), used};
}

// Compressed RTF is announced or saved as it stands, still compressed, under
// a name numbered across the whole run.
void handleCompressedRtf(ByteView data) {
  std::array<char, 32> name;
  std::string_view fileName = rtfFileName(name, rtfFileCounter, data.size());
  ++rtfFileCounter;
  if (saveFiles) {
    out::text("\tSaving Compressed RTF to ");
    out::text(fileName);
    out::ch('\n');
    saveToFile(fileName, data);
  } else {
    out::text("\tContains Compressed RTF MAPI property\n");
  }
}

void printProperty(const Property& property) {
  if (verbose) {
    out::text("\tProperty: ");
    out::hexPadded(property.tag, 8);
    out::text(" (");
    out::text(property.type->name);
    out::text(")\n");
  }
  if (property.type->code == PT_STRING8) {
    printStringProperty(property.tag, property.data);
  } else if (property.tag == kCompressedRtfTag) {
    handleCompressedRtf(property.data);
  }
}

void reportTruncatedList() { out::error("Truncated MAPI property list\n"); }

}  // namespace

std::string_view mapiTypeName(std::uint16_t type) { return findType(type).name; }

void dumpMapiProperties(ByteView value) {
  if (value.size() < 4) return reportTruncatedList();
  std::uint32_t count = readDword(value);
  out::text("\tNumber of Properties: ");
  out::decimal(count);
  out::ch('\n');
  std::size_t offset = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::optional<Property> property = readProperty(value, offset);
    if (!property) return reportTruncatedList();
    printProperty(*property);
    offset += property->span;
  }
}

}  // namespace wendrel
