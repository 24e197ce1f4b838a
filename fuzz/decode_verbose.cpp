// Fuzz target: dumps and decodes each input as `wendrel -d -v` would, record
// headers and MAPI property lines included, into an output buffer that fills
// up early. Each input is also taken as a compressed-RTF body whose CRC is
// made right, so that mutations reach the token check and the expansion
// rather than stopping at the CRC; what the check passes must expand to
// exactly RAWSIZE bytes. And each is taken as a compound file: a CONTENTS
// stream that the check passes must read to exactly its size. And as both
// kinds of time zone blob: a sound one must convert a local time it gave
// back to an instant that gives that local time again, and describe no more
// observances than its rules allow. And as recurrence patterns: a sound one
// must give exactly the exceptions it counts. The walk keeps whole messages,
// and every calendar item among them (the file's own message, and the ones
// attached to it) is written as iCalendar, and every contact or list as
// vCard; both must be UTF-8 in lines of at most 75 octets, each ended by CRLF.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_decode.h"
#include "wendrel/cli.h"
#include "wendrel/decoder.h"
#include "wendrel/formats/compound_file.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/calendar.h"
#include "wendrel/contacts.h"
#include "wendrel/formats/recurrence.h"
#include "wendrel/formats/time_zones.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/message.h"

namespace {

void expandAsRtfBody(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return;
  std::vector<std::uint8_t> value(data, data + size);
  wendrel::ByteView view(value.data(), value.size());
  wendrel::CompressedRtf rtf = wendrel::inspectCompressedRtf(view);
  if (rtf.damage == wendrel::RtfDamage::badCrc) {
    std::uint32_t crc = wendrel::compressedRtfCrc(rtf.data);
    std::memcpy(value.data() + 12, &crc, 4);  // little-endian machines only, as the fuzzers run
    rtf = wendrel::inspectCompressedRtf(view);
  }
  std::uint64_t produced = 0;
  auto count = [](wendrel::ByteView block, void* total) {
    *static_cast<std::uint64_t*>(total) += block.size();
    return true;
  };
  bool whole = wendrel::expandCompressedRtf(rtf, count, &produced);
  bool sound = rtf.damage == wendrel::RtfDamage::none;
  if (whole != sound || (sound && produced != rtf.rawSize)) {
    std::string_view damage = wendrel::rtfDamageName(rtf.damage);
    std::fprintf(stderr, "inspection said %.*s, expansion %s with %llu of %u bytes\n",
                 static_cast<int>(damage.size()), damage.data(), whole ? "ended" : "stopped",
                 static_cast<unsigned long long>(produced), rtf.rawSize);
    std::abort();
  }
}

void readAsCompoundFile(const std::uint8_t* data, std::size_t size) {
  wendrel::CompoundFileStream stream = wendrel::findRootStream(wendrel::ByteView(data, size), "CONTENTS");
  std::uint64_t produced = 0;
  auto count = [](wendrel::ByteView block, void* total) {
    *static_cast<std::uint64_t*>(total) += block.size();
    return true;
  };
  bool whole = wendrel::readCompoundStream(stream, count, &produced);
  bool sound = stream.found && stream.damage == wendrel::CompoundFileDamage::none;
  if (whole != sound || (sound && produced != stream.size)) {
    std::fprintf(stderr, "compound file: check said %d, read %s with %llu of %llu bytes\n",
                 static_cast<int>(stream.damage), whole ? "ended" : "stopped",
                 static_cast<unsigned long long>(produced), static_cast<unsigned long long>(stream.size));
    std::abort();
  }
}

void convertWithZone(const wendrel::timezone::Zone& zone) {
  namespace tz = wendrel::timezone;
  constexpr std::int64_t kDay = wendrel::civil::kSecondsPerDay;
  auto midYear = [](std::int64_t year) { return wendrel::civil::daysFromCivil(year, 7, 1) * kDay; };
  // The first year of FILETIME, a recent one, the last of SYSTEMTIME, and near the ends of the range.
  for (std::int64_t utc : {midYear(1601), midYear(2024), midYear(30827), tz::kEarliestTime + 3 * kDay,
                           tz::kLatestTime - 3 * kDay}) {
    std::int64_t local = tz::utcToLocal(zone, utc);
    if (local - utc > kDay || utc - local > kDay || tz::utcToLocal(zone, tz::localToUtc(zone, local)) != local) {
      std::fprintf(stderr, "time zone: %lld UTC gave %lld local, which does not convert back\n",
                   static_cast<long long>(utc), static_cast<long long>(local));
      std::abort();
    }
  }
  static tz::Observance observances[tz::kMostObservancesPerRule * tz::kMostRules];
  std::size_t count = tz::observanceCount(zone, 2000);
  if (count > tz::kMostObservancesPerRule * zone.ruleCount() || tz::describeObservances(zone, 2000, observances) != count) {
    std::fprintf(stderr, "time zone: %zu observances for %zu rules\n", count, zone.ruleCount());
    std::abort();
  }
}

void readAsTimeZones(const std::uint8_t* data, std::size_t size) {
  wendrel::timezone::Zone zone;
  if (wendrel::timezone::readTimeZoneStruct(wendrel::ByteView(data, size), zone) == wendrel::timezone::Damage::none) {
    convertWithZone(zone);
  }
  if (wendrel::timezone::readTimeZoneDefinition(wendrel::ByteView(data, size), zone) == wendrel::timezone::Damage::none) {
    convertWithZone(zone);
  }
}

void readAsRecurrence(const std::uint8_t* data, std::size_t size) {
  namespace recurrence = wendrel::recurrence;
  recurrence::AppointmentRecurrencePattern recur = recurrence::decodeAppointmentRecurrence(wendrel::ByteView(data, size));
  if (recur.damage == recurrence::Damage::none) {
    recurrence::ExceptionCursor cursor = recur.exceptions();
    recurrence::Exception exception;
    std::size_t count = 0;
    while (cursor.next(exception)) ++count;
    if (count != recur.exceptionCount) {
      std::fprintf(stderr, "recurrence: %zu exceptions walked of %u\n", count, recur.exceptionCount);
      std::abort();
    }
  }
  recurrence::RecurrencePattern pattern = recurrence::decodeRecurrencePattern(wendrel::ByteView(data, size));
  if (pattern.damage == recurrence::Damage::none) (void)recurrence::ruleOf(pattern);
}

bool keepText(wendrel::ByteView block, void* text) {
  static_cast<std::string*>(text)->append(reinterpret_cast<const char*>(block.data()), block.size());
  return true;
}

void checkContentLines(const std::string& text, const char* what) {
  bool sound = wendrel::utf8::isValid(text) && text.ends_with("\r\n");
  for (std::size_t at = 0, end; sound && at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    sound = end != std::string::npos && end - at <= 75 &&
            std::string_view(text).substr(at, end - at).find_first_of("\r\n") == std::string_view::npos;
  }
  if (!sound) {
    std::fprintf(stderr, "%s is not sound text in content lines:\n%s\n", what, text.c_str());
    std::abort();
  }
}

void writeItemsAndCards(const wendrel::MessageRecord& message) {
  wendrel::CalendarItem item = wendrel::calendarItemOf(message);
  if (item.kind != wendrel::ItemKind::none) {
    std::string text;
    wendrel::writeCalendarItem(message, item, "item.ics", keepText, &text);
    checkContentLines(text, "calendar item");
  }
  if (wendrel::ContactKind kind = wendrel::contactKindOf(message); kind != wendrel::ContactKind::none) {
    std::string text;
    wendrel::writeContact(message, kind, "card.vcf", keepText, &text);
    checkContentLines(text, "contact");
  }
  for (std::uint32_t i = 0; i < message.partCount; ++i) {
    if (message.parts[i].message != nullptr) writeItemsAndCards(*message.parts[i].message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wendrel::fuzz::discardStandardOutput();
  wendrel::decoder().verbose = 1;
  wendrel::decoder().saveFiles = 0;
  wendrel::decoder().keepWholeMessages = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wendrel::fuzz::startOutputNearlyFull(size);
  wendrel::cli::writeHexDump(std::span<const std::uint8_t>(data, size));
  wendrel::fuzz::decodeOne(data, size);
  if (wendrel::MessageRecord* message = wendrel::takeDecodedMessage()) {
    writeItemsAndCards(*message);
    wendrel::freeMessage(message);
  }
  expandAsRtfBody(data, size);
  readAsCompoundFile(data, size);
  readAsTimeZones(data, size);
  readAsRecurrence(data, size);
  return 0;
}
