// Writes examples/sample.tnef: a small message stream of the kind a mail client
// sends, with a subject, identifiers, dates, priority, status, message class,
// body, one attachment and a MAPI property list holding string properties and a
// compressed-RTF body.
//
//   make_sample [output-file]     (standard output when no file is named)

#include <cstdio>
#include <string_view>

#include "stream_builder.h"

using namespace wendrel::test;

namespace {

constexpr std::uint32_t attTnefVersion = 0x00089006, attOemCodepage = 0x00069007,
                        attMessageClass = 0x00078008, attSubject = 0x00018004, attMessageID = 0x00018009,
                        attDateSent = 0x00038005, attDateRecd = 0x00038006, attPriority = 0x0004800D,
                        attMessageStatus = 0x00068007, attBody = 0x0002800C, attMAPIProps = 0x00069003,
                        attAttachRenddata = 0x00069002, attAttachTitle = 0x00018010,
                        attAttachModifyDate = 0x00038013, attAttachData = 0x0006800F;

Bytes messageProperties() {
  return MapiListBuilder()
      .fixed(0x00170003, 4)  // PR_IMPORTANCE
      .string8(0x003D001E, "RE: ")
      .string8(0x0070001E, "Quarterly figures")
      .string8(0x0C1E001E, "SMTP")
      .string8(0x0C1F001E, "ada.lovelace@example.org")
      .fixed(0x0E060040, 8)  // PR_MESSAGE_DELIVERY_TIME
      .counted(0x10090102, uncompressedRtfBody("{\\rtf1\\ansi Please find the figures attached.\\par}"))
      .string8(0x1008001E, "Please find the figures attached.")
      .bytes();
}

Bytes sampleStream() {
  StreamBuilder stream(0x5a17);
  stream.record(attTnefVersion, dwordBytes(0x00010000))
      .record(attOemCodepage, {0xE4, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})
      .record(attMessageClass, cString("IPM.Microsoft Mail.Note"))
      .record(attSubject, cString("Quarterly figures"))
      .record(attMessageID, cString("0000000012345678ABCDEF0123456789"))
      .record(attDateSent, dateBytes(2003, 3, 4, 9, 30, 0, 2))
      .record(attDateRecd, dateBytes(2003, 3, 4, 9, 31, 12, 2))
      .record(attPriority, wordBytes(2))
      .record(attMessageStatus, {0xA1})
      .record(attBody, cString("Please find the figures attached."))
      .record(attMAPIProps, messageProperties())
      .record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachTitle, cString("figures.csv"), 2)
      .record(attAttachModifyDate, dateBytes(2003, 3, 3, 17, 5, 0, 1), 2)
      .record(attAttachData, textBytes("quarter,revenue\nQ1,1200\nQ2,1350\n"), 2);
  return stream.bytes();
}

}  // namespace

int main(int argc, char** argv) {
  Bytes bytes = sampleStream();
  std::FILE* file = argc > 1 ? std::fopen(argv[1], "wb") : stdout;
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror("make_sample");
    return 1;
  }
  return 0;
}
