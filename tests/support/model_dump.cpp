#include "model_dump.h"

#include <cinttypes>
#include <cstdio>

namespace wendrel::test {

namespace {

std::string hashOf(const void* data, std::size_t size) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const std::uint8_t*>(data)[i]) * 0x100000001B3u;
  char text[48];
  std::snprintf(text, sizeof text, "%zu:%016" PRIx64, size, hash);
  return text;
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIx64, value);
  return text;
}

std::string shown(const Collected& collected) {
  if (collected.status != WENDREL_OK) return std::string("<") + wendrel_status_text(collected.status) + ">";
  return collected.text.size() <= 80 ? "\"" + collected.text + "\"" : hashOf(collected.text.data(), collected.text.size());
}

std::string guidText(const std::uint8_t* guid) {
  std::string text;
  for (int i = 0; i < 16; ++i) text += hex(guid[i] >> 4) + hex(guid[i] & 15);
  return text;
}

void dumpList(std::string& out, const wendrel_property_list* list, const std::string& indent) {
  out += indent + "properties " + std::to_string(wendrel_property_list_count(list)) +
         (wendrel_property_list_complete(list) ? "" : " cut short") + "\n";
  for (std::size_t i = 0; i < wendrel_property_list_count(list); ++i) {
    const wendrel_property* p = wendrel_property_list_get(list, i);
    out += indent + "  " + hex(wendrel_property_tag(p)) + " " + wendrel_property_type_name(p);
    if (wendrel_property_is_named(p)) {
      std::uint8_t guid[16];
      wendrel_property_guid(p, guid);
      std::uint32_t number = 0;
      out += " {" + guidText(guid) + "} ";
      if (wendrel_property_name_number(p, &number) == WENDREL_OK) {
        out += hex(number);
      } else {
        out += shown(collect([&](wendrel_write_fn write, void* context) {
          return wendrel_property_name_string(p, write, context);
        }));
      }
    }
    out += " =";
    // (Appended in two steps: " " + a string trips a false -Wrestrict in g++ 12.)
    for (std::size_t v = 0; v < wendrel_property_value_count(p); ++v) {
      out += ' ';
      out += valueText(p, v);
    }
    out += "\n";
  }
}

void dumpMessage(std::string& out, const wendrel_message* m, const std::string& indent) {
  out += indent + "message at " + std::to_string(wendrel_message_offset(m)) + " signature " +
         std::to_string(wendrel_message_signature_ok(m)) + " key " + hex(wendrel_message_attach_key(m)) + "\n";
  out += indent + "class " + shown(collect([&](wendrel_write_fn w, void* c) { return wendrel_message_class(m, w, c); })) +
         " subject " + shown(collect([&](wendrel_write_fn w, void* c) { return wendrel_message_subject(m, w, c); })) + "\n";
  for (std::size_t i = 0; i < wendrel_message_attribute_count(m); ++i) {
    const wendrel_attribute* a = wendrel_message_attribute(m, i);
    std::size_t size = 0;
    const std::uint8_t* data = wendrel_attribute_data(a, &size);
    out += indent + "attribute " + std::to_string(wendrel_attribute_offset(a)) + " level " +
           std::to_string(wendrel_attribute_level(a)) + " " + hex(wendrel_attribute_id(a)) + " " +
           wendrel_attribute_name(a) + " " + hashOf(data, size) + " checksum " +
           std::to_string(wendrel_attribute_checksum_ok(a)) + " attachment " +
           std::to_string(static_cast<long long>(wendrel_attribute_attachment(a)));
    Collected text = collect([&](wendrel_write_fn w, void* c) { return wendrel_attribute_string(a, w, c); });
    if (text.status != WENDREL_ERROR_TYPE) out += " text " + shown(text);
    wendrel_date date;
    if (wendrel_attribute_date(a, &date) == WENDREL_OK) {
      out += " date " + std::to_string(date.year) + "-" + std::to_string(date.month) + "-" + std::to_string(date.day);
    }
    std::int64_t number = 0;
    if (wendrel_attribute_integer(a, &number) == WENDREL_OK) out += " number " + std::to_string(number);
    out += "\n";
  }
  dumpList(out, wendrel_message_properties(m), indent);
  for (std::size_t i = 0; i < wendrel_message_recipient_count(m); ++i) {
    out += indent + "recipient " + std::to_string(i) + "\n";
    dumpList(out, wendrel_message_recipient(m, i), indent + "  ");
  }
  for (std::size_t i = 0; i < wendrel_message_attachment_count(m); ++i) {
    const wendrel_attachment* a = wendrel_message_attachment(m, i);
    std::size_t size = 0;
    const std::uint8_t* data = wendrel_attachment_data(a, &size);
    const char* type = wendrel_attachment_mime_type(a);
    const char* id = wendrel_attachment_content_id(a);
    out += indent + "attachment " + std::to_string(i) + " kind " + std::to_string(wendrel_attachment_kind_of(a)) +
           " \"" + wendrel_attachment_name(a) + "\" type " + (type ? type : "-") + " id " + (id ? id : "-") + " " +
           hashOf(data, size) + " records";
    for (std::size_t r = 0; r < wendrel_attachment_attribute_count(a); ++r) {
      out += ' ';
      out += std::to_string(wendrel_attribute_offset(wendrel_attachment_attribute(a, r)));
    }
    out += "\n";
    dumpList(out, wendrel_attachment_properties(a), indent + "  ");
    if (const wendrel_message* attached = wendrel_attachment_message(a)) dumpMessage(out, attached, indent + "  ");
  }
  static const char* const kBodies[] = {"text", "html", "html-utf8", "rtf", "rtf-html", "rtf-text"};
  for (int body = WENDREL_BODY_TEXT; body <= WENDREL_BODY_RTF_TEXT; ++body) {
    out += indent + "body " + kBodies[body] + " " + shown(collect([&](wendrel_write_fn w, void* c) {
             return wendrel_message_body(m, static_cast<wendrel_body>(body), w, c);
           })) + "\n";
  }
  const char* charset = wendrel_message_html_charset(m);
  out += indent + "charset " + (charset ? charset : "-") + "\n";
  out += indent + "calendar " + shown(collect([&](wendrel_write_fn w, void* c) { return wendrel_message_calendar(m, w, c); })) + "\n";
  out += indent + "vcard " + shown(collect([&](wendrel_write_fn w, void* c) { return wendrel_message_vcard(m, w, c); })) + "\n";
  char name[WENDREL_NAME_MAX];
  if (wendrel_message_item_file_name(m, name) == WENDREL_OK) out += indent + "item " + name + "\n";
  for (std::size_t i = 0; i < wendrel_message_damage_count(m); ++i) {
    wendrel_damage kind;
    std::uint64_t offset = 0;
    wendrel_message_damage(m, i, &kind, &offset);
    out += indent + "damage " + wendrel_damage_text(kind) + " at " + std::to_string(offset) + "\n";
  }
}

}  // namespace

std::string valueText(const wendrel_property* property, std::size_t index) {
  std::int64_t integer = 0;
  double real = 0;
  std::uint8_t guid[16];
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  if (wendrel_property_integer(property, index, &integer) == WENDREL_OK) return std::to_string(integer);
  if (wendrel_property_double(property, index, &real) == WENDREL_OK) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", real);
    return text;
  }
  if (wendrel_property_time(property, index, &integer) == WENDREL_OK) return "ticks " + std::to_string(integer);
  if (wendrel_property_clsid(property, index, guid) == WENDREL_OK) return guidText(guid);
  Collected text = collect([&](wendrel_write_fn write, void* context) {
    return wendrel_property_string(property, index, write, context);
  });
  if (text.status != WENDREL_ERROR_TYPE) return shown(text);
  if (wendrel_property_binary(property, index, &data, &size) == WENDREL_OK) return "bytes " + hashOf(data, size);
  return "-";
}

std::string dumpModel(const wendrel_message* message) {
  std::string out;
  dumpMessage(out, message, "");
  return out;
}

std::string propertyString(const wendrel_property* property, std::size_t index) {
  Collected text = collect([&](wendrel_write_fn write, void* context) {
    return wendrel_property_string(property, index, write, context);
  });
  return text.status == WENDREL_OK ? text.text : std::string("<") + wendrel_status_text(text.status) + ">";
}

}  // namespace wendrel::test
