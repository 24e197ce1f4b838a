// The values of the account (see values.h).

#include "values.h"

#include <cinttypes>
#include <cstdio>

#include "wendrel/formats/civil_time.h"

namespace wendrel::json {

// ---- Texts and blocks ----

void PendingText::begin() {
  if (member_ != nullptr) out_.key(member_);
  out_.beginString();
  begun_ = true;
}

int PendingText::sink(void* pending, const void* bytes, std::size_t size) {
  auto& text = *static_cast<PendingText*>(pending);
  if (!text.begun_) text.begin();
  return JsonOutput::stringSink(&text.out_, bytes, size);
}

bool PendingText::end(wendrel_status status) {
  // (A text cut short by memory running out still ends as a string; the
  // run then ends with status 75.)
  if (!begun_ && status == WENDREL_OK) begin();
  if (begun_) {
    out_.endString();
    return true;
  }
  if (member_ == nullptr) out_.null();
  return false;
}

void writeOptional(JsonOutput& out, const char* text) {
  if (text != nullptr) return out.string(text);
  out.null();
}

void writeBlockMembers(Writing& writing, const std::uint8_t* bytes, std::size_t size) {
  JsonOutput& out = writing.out;
  out.key("size");
  out.unsignedInteger(size);
  out.key("sha256");
  out.string(writing.digests.of(bytes, size));
  if (writing.contents) {
    out.key("base64");
    out.beginBase64();
    out.base64Piece(bytes, size);
    out.endBase64();
  }
}

void writeBlock(Writing& writing, const std::uint8_t* bytes, std::size_t size) {
  writing.out.beginObject();
  writeBlockMembers(writing, bytes, size);
  writing.out.endObject();
}

// ---- GUIDs, times, numbers ----

std::string guidText(const std::uint8_t guid[16]) {
  char text[40];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid[3],
                guid[2], guid[1], guid[0], guid[5], guid[4], guid[7], guid[6], guid[8], guid[9], guid[10], guid[11],
                guid[12], guid[13], guid[14], guid[15]);
  return text;
}

std::optional<std::string> utcText(std::int64_t ticks) {
  std::int64_t seconds = civil::floorDivide(ticks, static_cast<std::int64_t>(civil::kTicksPerSecond));
  civil::DateTime time = civil::fromSeconds(seconds);
  if (time.date.year < 1 || time.date.year > 9999) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02uT%02u:%02u:%02uZ", time.date.year, time.date.month,
                time.date.day, time.hour, time.minute, time.second);
  return text;
}

std::string hexText(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*" PRIx32, digits, value);
  return text;
}

// ---- Property values ----

namespace {

constexpr std::uint16_t kTypeWithoutFlag = static_cast<std::uint16_t>(~WENDREL_MV_FLAG);

// Whether the interface reads values of this type (without the
// multi-valued flag); the others (PT_NULL, PT_UNSPECIFIED, types it does
// not know) carry no value in the account.
bool hasReadableValue(std::uint16_t type) {
  switch (type) {
    case WENDREL_PT_I2: case WENDREL_PT_LONG: case WENDREL_PT_R4: case WENDREL_PT_DOUBLE: case WENDREL_PT_CURRENCY:
    case WENDREL_PT_APPTIME: case WENDREL_PT_ERROR: case WENDREL_PT_BOOLEAN: case WENDREL_PT_OBJECT: case WENDREL_PT_I8:
    case WENDREL_PT_STRING8: case WENDREL_PT_UNICODE: case WENDREL_PT_SYSTIME: case WENDREL_PT_CLSID:
    case WENDREL_PT_BINARY:
      return true;
    default: return false;
  }
}

void writeInteger(JsonOutput& out, const wendrel_property* property, std::size_t index) {
  std::int64_t value = 0;
  if (wendrel_property_integer(property, index, &value) != WENDREL_OK) return out.null();
  out.integer(value);
}

void writeBoolean(JsonOutput& out, const wendrel_property* property, std::size_t index) {
  int value = 0;
  if (wendrel_property_boolean(property, index, &value) != WENDREL_OK) return out.null();
  out.boolean(value != 0);
}

void writeReal(JsonOutput& out, const wendrel_property* property, std::size_t index) {
  double value = 0;
  if (wendrel_property_double(property, index, &value) != WENDREL_OK) return out.null();
  out.real(value);
}

void writeTime(JsonOutput& out, const wendrel_property* property, std::size_t index) {
  std::int64_t ticks = 0;
  if (wendrel_property_time(property, index, &ticks) != WENDREL_OK) return out.null();
  out.beginObject();
  out.key("utc");
  std::optional<std::string> text = utcText(ticks);
  writeOptional(out, text ? text->c_str() : nullptr);
  out.key("ticks");
  out.integer(ticks);
  out.endObject();
}

void writeClsid(JsonOutput& out, const wendrel_property* property, std::size_t index) {
  std::uint8_t guid[16];
  if (wendrel_property_clsid(property, index, guid) != WENDREL_OK) return out.null();
  out.string(guidText(guid));
}

void writeBinary(Writing& writing, const wendrel_property* property, std::size_t index) {
  const std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  if (wendrel_property_binary(property, index, &bytes, &size) != WENDREL_OK) return writing.out.null();
  writeBlock(writing, bytes, size);
}

// Value index of the property, by its type; null when it cannot be read
// (a multi-valued property's value missing from a damaged list).
void writeValue(Writing& writing, const wendrel_property* property, std::size_t index, std::uint16_t type) {
  switch (type) {
    case WENDREL_PT_BOOLEAN: return writeBoolean(writing.out, property, index);
    case WENDREL_PT_R4: case WENDREL_PT_DOUBLE: case WENDREL_PT_APPTIME: return writeReal(writing.out, property, index);
    case WENDREL_PT_SYSTIME: return writeTime(writing.out, property, index);
    case WENDREL_PT_CLSID: return writeClsid(writing.out, property, index);
    case WENDREL_PT_BINARY: case WENDREL_PT_OBJECT: return writeBinary(writing, property, index);
    case WENDREL_PT_STRING8: case WENDREL_PT_UNICODE:
      return writeText(writing, [&](wendrel_write_fn write, void* context) {
        return wendrel_property_string(property, index, write, context);
      });
    default: return writeInteger(writing.out, property, index);
  }
}

void writeName(Writing& writing, const wendrel_property* property) {
  JsonOutput& out = writing.out;
  std::uint8_t guid[16];
  if (wendrel_property_guid(property, guid) != WENDREL_OK) return out.null();
  out.beginObject();
  out.key("guid");
  out.string(guidText(guid));
  std::uint32_t number = 0;
  if (wendrel_property_name_number(property, &number) == WENDREL_OK) {
    out.key("number");
    out.unsignedInteger(number);
  } else {
    out.key("name");
    writeText(writing, [&](wendrel_write_fn write, void* context) {
      return wendrel_property_name_string(property, write, context);
    });
  }
  out.endObject();
}

void writeProperty(Writing& writing, const wendrel_property* property) {
  JsonOutput& out = writing.out;
  out.beginObject();
  out.key("tag");
  out.string(hexText(wendrel_property_tag(property), 8));
  out.key("id");
  out.string(hexText(wendrel_property_id(property), 4));
  out.key("type");
  out.string(wendrel_property_type_name(property));
  out.key("named");
  writeName(writing, property);
  std::uint16_t type = wendrel_property_type(property);
  auto single = static_cast<std::uint16_t>(type & kTypeWithoutFlag);
  if (hasReadableValue(single)) {
    out.key("value");
    if ((type & WENDREL_MV_FLAG) == 0) {
      writeValue(writing, property, 0, single);
    } else {
      out.beginArray();
      for (std::size_t i = 0; i < wendrel_property_value_count(property); ++i) writeValue(writing, property, i, single);
      out.endArray();
    }
  }
  out.endObject();
}

}  // namespace

void writePropertyList(Writing& writing, const wendrel_property_list* list) {
  JsonOutput& out = writing.out;
  out.beginObject();
  out.key("complete");
  out.boolean(wendrel_property_list_complete(list) != 0);
  out.key("items");
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_property_list_count(list); ++i) {
    writeProperty(writing, wendrel_property_list_get(list, i));
  }
  out.endArray();
  out.endObject();
}

}  // namespace wendrel::json
