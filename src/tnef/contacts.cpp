// Contacts and distribution lists: which messages are one, the names they
// are saved under, and their place in the walk's output.

#include "wendrel/contacts.h"

#include "wendrel/decoder.h"
#include "wendrel/output.h"

namespace wendrel {

ContactKind contactKindOf(const MessageRecord& message) {
  char text[kScratchSize];
  std::string_view name = messageClassText(message, text);
  if (beginsWithIgnoringCase(name, "IPM.Contact")) return ContactKind::contact;
  if (beginsWithIgnoringCase(name, "IPM.DistList")) return ContactKind::list;
  return ContactKind::none;
}

std::string_view contactFileName(const MessageRecord& message, char (&buffer)[kScratchSize]) {
  char text[kScratchSize];
  std::string_view name = shortTextValue(message.find(Prop::displayName), text).value_or("");
  if (trimBlanks(name).empty()) name = subjectText(message, text);
  if (trimBlanks(name).empty()) name = shortTextValue(message.find(Prop::fileUnder), text).value_or("");
  return fileNameFrom(name, ".vcf", "contact", buffer);
}

void handleContact(const MessageRecord& message) {
  ContactKind kind = contactKindOf(message);
  if (kind == ContactKind::none) return;
  if (!decoder().saveFiles) {
    out::text("Contains contact\n");
    return;
  }
  char name[kScratchSize];
  std::string_view target = fileNameToCreate(contactFileName(message, name));
  struct Source {
    const MessageRecord* message;
    ContactKind kind;
    std::string_view target;
  } source{&message, kind, target};
  auto produce = [](const void* from, BlockSink write, void* context) {
    const Source& s = *static_cast<const Source*>(from);
    return writeContact(*s.message, s.kind, s.target, write, context);
  };
  if (saveToFile(target, FileContents{produce, &source, 0}) == 0) {
    out::text("Contact saved to file ");
    out::text(target);
    out::ch('\n');
  }
}

}  // namespace wendrel
