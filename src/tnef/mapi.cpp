// MAPI property lists: the one attMAPIProps carries for the message and the
// one attAttachment carries for each attachment. A list is a count, then
// tagged properties laid out by type. Every walk is bounded by the list; a
// property that does not fit ends it.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>

#include "wendrel/decoder.h"
#include "wendrel/message.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

inline constexpr std::uint16_t PT_OBJECT = 0x000D;
inline constexpr std::uint16_t PT_STRING8 = 0x001E;
inline constexpr std::uint16_t PT_UNICODE = 0x001F;
inline constexpr std::uint16_t PT_CLSID = 0x0048;
inline constexpr std::uint16_t PT_BINARY = 0x0102;
inline constexpr std::uint16_t kMultiValued = 0x1000;
inline constexpr std::uint16_t kFirstNamedId = 0x8000;
inline constexpr std::uint32_t kCompressedRtfTag = 0x10090102;
inline constexpr std::uint16_t kTextBodyId = 0x1000;
inline constexpr std::uint16_t kHtmlBodyId = 0x1013;

// How a value lies after the tag (and the name of a named property): a fixed
// slot, or counted (a length, the data, padding to 4). Other types carry none.
enum class Layout : std::uint8_t { none, fixed, counted };

struct MapiType {
  std::uint16_t code;
  std::string_view name;
  Layout layout;
  std::uint8_t slot;  // bytes a fixed value occupies
};

// PT_CLSID has no name of its own in the -v lines, but must be sized.
constexpr std::array<MapiType, 15> kMapiTypes{{
    {0x0002, "PT_I2", Layout::fixed, 4},
    {0x0003, "PT_LONG", Layout::fixed, 4},
    {0x0004, "PT_R4", Layout::fixed, 4},
    {0x0005, "PT_DOUBLE", Layout::fixed, 8},
    {0x0006, "PT_CURRENCY", Layout::fixed, 8},
    {0x0007, "PT_APPTIME", Layout::fixed, 8},
    {0x000A, "PT_ERROR", Layout::fixed, 4},
    {0x000B, "PT_BOOLEAN", Layout::fixed, 4},
    {PT_OBJECT, "PT_OBJECT", Layout::counted, 0},
    {0x0014, "PT_I8", Layout::fixed, 8},
    {PT_STRING8, "PT_STRING8", Layout::counted, 0},
    {PT_UNICODE, "PT_UNICODE", Layout::counted, 0},
    {0x0040, "PT_SYSTIME", Layout::fixed, 8},
    {PT_CLSID, "unknown", Layout::fixed, 16},
    {PT_BINARY, "PT_BINARY", Layout::counted, 0},
}};
constexpr MapiType kUnknownType{0, "unknown", Layout::none, 0};

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
  std::uint16_t id;
  std::string_view label;
};

constexpr std::array<StringLabel, 5> kStringLabels{{
    {0x003D, "\tSubject Prefix: "},
    {0x0070, "\tConversation Topic: "},
    {0x0C1E, "\tSender Address Type: "},
    {0x0C1F, "\tSender Email Address: "},
    {0x1008, "\tRTF Sync body tag: "},
}};

std::string_view stringLabel(std::uint16_t id) {
  // Named properties, the commonest in long lists, lie above every labelled ID.
  if (id > kStringLabels.back().id) return "\tUnknown String: ";
  auto it = std::ranges::find(kStringLabels, id, &StringLabel::id);
  return it != kStringLabels.end() ? it->label : "\tUnknown String: ";
}

constexpr std::uint16_t propertyId(std::uint32_t tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr std::uint16_t propertyType(std::uint32_t tag) { return static_cast<std::uint16_t>(tag); }
constexpr bool isString(std::uint16_t type) { return type == PT_STRING8 || type == PT_UNICODE; }

std::size_t padded(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// Reads the fields of one property in order. Each field must lie inside the
// list; the padding after the last one may be missing at the list's end.
struct FieldCursor {
  ByteView list;
  std::size_t next;  // where the next field starts

  bool skip(std::size_t size) {
    if (!list.contains(next, size)) return false;
    next += size;
    return true;
  }

  std::optional<std::uint32_t> dword() {
    if (!list.contains(next, 4)) return std::nullopt;
    // Inside the list, checked just above: one load, not four checked bytes.
    const std::uint8_t* p = list.data() + next;
    next += 4;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  }

  // A length, that many bytes, padding to 4.
  std::optional<ByteView> counted() {
    std::optional<std::uint32_t> length = dword();
    if (!length || !list.contains(next, *length)) return std::nullopt;
    ByteView data(list.data() + next, *length);
    next += padded(*length);
    return data;
  }
};

// A named property's name: a GUID and a kind, then a number (kind 0) or a
// counted name (UTF-16LE). The GUID goes to guid, and the number to number
// or the name to name.
bool readName(FieldCursor& at, const std::uint8_t*& guid, std::uint32_t& number, ByteView& name) {
  constexpr std::size_t kGuidSize = 16;
  const std::uint8_t* start = at.list.data() + at.next;
  if (!at.skip(kGuidSize)) return false;
  std::optional<std::uint32_t> kind = at.dword();
  if (!kind) return false;
  guid = start;
  if (*kind != 0) {
    std::optional<ByteView> counted = at.counted();
    if (counted) name = *counted;
    return counted.has_value();
  }
  std::optional<std::uint32_t> value = at.dword();
  if (!value) return false;
  number = *value;
  return true;
}

// A multi-valued property's values: a count, then that many fixed slots or
// counted values (each without a value count of its own).
bool skipValues(FieldCursor& at, const MapiType& base) {
  if (base.layout == Layout::none) return true;
  std::optional<std::uint32_t> count = at.dword();
  if (!count) return false;
  if (base.layout == Layout::fixed) {
    // Checked by division: the count comes from the stream.
    return *count <= at.list.size() / base.slot && at.skip(std::size_t{*count} * base.slot);
  }
  // Each value takes at least 4 bytes, so this ends within the list's size.
  for (std::uint32_t i = 0; i < *count; ++i) {
    if (!at.counted()) return false;
  }
  return true;
}

// A single value: a fixed slot, or a value count (read past, not used) and a
// counted value; data gets the slot or the counted value's data.
bool readValue(FieldCursor& at, const MapiType& type, ByteView& data) {
  if (type.layout == Layout::none) return true;
  if (type.layout == Layout::fixed) {
    data = at.list.sub(at.next, type.slot);
    return at.skip(type.slot);
  }
  std::optional<ByteView> counted = at.skip(4) ? at.counted() : std::nullopt;
  if (counted) data = *counted;
  return counted.has_value();
}

// One property as it lies in the list: its data (a single value's slot or
// counted data; empty for the other layouts), the bytes up to the next
// property, and for a named property its set and its number or name.
struct Property {
  std::uint32_t tag;
  ByteView data;
  std::size_t span;
  const std::uint8_t* guid;  // the 16 bytes of its set's GUID, in the list; null when not named
  std::uint32_t number;
  ByteView name;             // UTF-16LE, for one named by a string (else empty)
};

// Fills property from the one at offset; false when it does not fit. Filled
// in place rather than returned: the walk runs this a million times for a long
// list, and a returned optional went through the stack piece by piece.
bool readProperty(ByteView list, std::size_t offset, Property& property) {
  FieldCursor at{list, offset};
  std::optional<std::uint32_t> tag = at.dword();
  property.guid = nullptr;
  property.name = {};
  if (!tag || (propertyId(*tag) >= kFirstNamedId && !readName(at, property.guid, property.number, property.name))) {
    return false;
  }
  std::uint16_t type = propertyType(*tag);
  property.tag = *tag;
  property.data = {};
  bool fits = false;
  if ((type & kMultiValued) != 0) {
    // A multi-valued property's data is its count and its values, as they lie.
    std::size_t values = at.next;
    fits = skipValues(at, findType(static_cast<std::uint16_t>(type & ~kMultiValued)));
    if (fits) property.data = list.sub(values, at.next - values);
  } else {
    fits = readValue(at, findType(type), property.data);
  }
  property.span = at.next - offset;
  return fits;
}

// Calls visit with each property of list in order until visit returns false.
// False when a property that the count promises does not fit.
template <typename Visit>
bool walkProperties(ByteView list, Visit visit) {
  std::uint32_t count = readDword(list);
  std::size_t offset = 4;
  // Every property takes at least its 4-byte tag, so a huge count ends at
  // the list's end.
  for (std::uint32_t i = 0; i < count; ++i) {
    Property property;
    if (!readProperty(list, offset, property)) return false;
    if (!visit(property)) return true;
    offset += property.span;
  }
  return true;
}

std::string_view stringValue(const Property& property, char (&text)[kScratchSize]) {
  return propertyType(property.tag) == PT_UNICODE ? copyUnicodeValue(property.data, text)
                                                  : streamText(property.data, text);
}

void printStringProperty(const Property& property) {
  out::text(stringLabel(propertyId(property.tag)));
  if (propertyType(property.tag) == PT_UNICODE) {
    // Straight into the output: long lists of Unicode strings are common.
    char* p = out::reserve(kMaxText + 1);
    p += writeUnicodeValue(property.data, p);
    *p++ = '\n';
    return out::commit(p);
  }
  out::text(streamText(property.data, decoder().stringScratch));
  out::ch('\n');
}

std::optional<BodyEncoding> bodyEncoding(std::uint16_t type) {
  switch (type) {
    case PT_BINARY: return BodyEncoding::binary;
    case PT_STRING8: return BodyEncoding::text8;
    case PT_UNICODE: return BodyEncoding::utf16;
    default: return std::nullopt;
  }
}

// The HTML body (binary or text) and the plain-text body, after whatever
// their property prints of itself.
void handleBodyProperty(const Property& property) {
  std::uint16_t id = propertyId(property.tag);
  if (id != kHtmlBodyId && id != kTextBodyId) return;
  std::optional<BodyEncoding> encoding = bodyEncoding(propertyType(property.tag));
  if (!encoding) return;
  if (id == kHtmlBodyId) return handleHtmlBodyProperty(property.data, *encoding);
  if (*encoding != BodyEncoding::binary) handleTextBodyProperty(property.data, *encoding);
}

// The catalogue's entry for a property, when it keeps one: by tag, or for a
// named property numbered by its set (GUID) and number.
std::optional<Prop> knownProperty(const Property& property) {
  std::uint16_t id = propertyId(property.tag);
  if (id < kFirstNamedId) return propForTag(id);
  if (property.guid == nullptr) return std::nullopt;
  if (property.name.empty()) return propForName(ByteView(property.guid, 16), property.number);
  return propForStringName(ByteView(property.guid, 16), property.name);
}

void keepProperty(const Property& property, PropertySet& set, const codepage::CodePage* page) {
  std::uint16_t type = propertyType(property.tag);
  std::optional<Prop> prop = knownProperty(property);
  if (prop && !set.has(*prop) && takesType(*prop, type)) set.add(*prop, PropertyValue{type, property.data, page});
}

void printProperty(const Property& property) {
  std::uint16_t type = propertyType(property.tag);
  if (decoder().verbose) {
    out::text("\tProperty: ");
    out::hex8(property.tag);
    out::text(" (");
    out::text(findType(type).name);
    out::text(")\n");
  }
  if (isString(type)) {
    printStringProperty(property);
  } else if (property.tag == kCompressedRtfTag) {
    handleCompressedRtf(property.data);
  }
  handleBodyProperty(property);
}

// A property as the model keeps it: where it lies, and its name's.
void appendToModel(PropertyList& list, const Property& property, const codepage::CodePage* page) {
  const std::uint8_t* name = property.guid;
  list.properties.append(ModelProperty{property.tag, static_cast<std::uint32_t>(property.data.size()),
                                       property.data.data(), name, page});
}

void reportTruncatedList(ByteView list) {
  out::error("Truncated MAPI property list\n");
  noteDamage(DamageKind::truncatedPropertyList, list.data());
}

}  // namespace

std::string_view mapiTypeName(std::uint16_t type) { return findType(type).name; }

void dumpMapiProperties(ByteView value) {
  MessageRecord* message = currentMessage();
  PropertyList* model = message != nullptr && decoder().keepModel ? &message->model.properties : nullptr;
  if (value.size() < 4) {
    if (model != nullptr) model->whole = false;
    return reportTruncatedList(value);
  }
  out::text("\tNumber of Properties: ");
  out::decimal(readDword(value));
  out::ch('\n');
  const codepage::CodePage* page = streamState().codePage;
  bool whole = walkProperties(value, [&](const Property& property) {
    printProperty(property);
    if (message != nullptr) keepProperty(property, message->properties, page);
    if (model != nullptr) appendToModel(*model, property, page);
    return true;
  });
  if (!whole) {
    if (model != nullptr) model->whole = false;
    reportTruncatedList(value);
  }
}

std::optional<std::size_t> modelPropertyList(ByteView list, PropertyList& model, const codepage::CodePage* page) {
  std::size_t end = 4;
  bool whole = list.size() >= 4 && walkProperties(list, [&](const Property& property) {
    appendToModel(model, property, page);
    end += property.span;
    return true;
  });
  if (!whole) {
    model.whole = false;
    return std::nullopt;
  }
  return std::min(end, list.size());
}

std::optional<std::string_view> findStringProperty(ByteView list, std::uint16_t id, char (&text)[kScratchSize]) {
  std::optional<std::string_view> found;
  walkProperties(list, [&](const Property& property) {
    if (propertyId(property.tag) != id || !isString(propertyType(property.tag))) return true;
    found = stringValue(property, text);
    return false;
  });
  return found;
}

std::optional<bool> findBooleanProperty(ByteView list, std::uint16_t id) {
  constexpr std::uint16_t PT_BOOLEAN = 0x000B;
  std::optional<bool> found;
  walkProperties(list, [&](const Property& property) {
    if (property.tag != (std::uint32_t{id} << 16 | PT_BOOLEAN)) return true;
    found = property.data.word(0) != 0;
    return false;
  });
  return found;
}

std::optional<std::size_t> keepPropertyList(ByteView list, PropertySet& set, const codepage::CodePage* page) {
  std::size_t end = 4;
  bool whole = walkProperties(list, [&](const Property& property) {
    keepProperty(property, set, page);
    end += property.span;
    return true;
  });
  if (!whole) return std::nullopt;
  return std::min(end, list.size());
}

void forEachObjectProperty(ByteView list, std::uint16_t id, bool (*visit)(ByteView data, void* context),
                           void* context) {
  walkProperties(list, [&](const Property& property) {
    if (propertyId(property.tag) != id || propertyType(property.tag) != PT_OBJECT) return true;
    return visit(property.data, context);
  });
}

}  // namespace wendrel
