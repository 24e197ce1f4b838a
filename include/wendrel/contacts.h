#pragma once
// Contacts and distribution lists written as vCard: a message whose class
// makes it a contact (IPM.Contact) gives one vCard 3.0 (RFC 2426) as
// MS-OXVCARD maps a contact to one; a distribution list (IPM.DistList) one
// vCard 4.0 group (RFC 6350) of its members' addresses. Both are built from
// the message's record at the end of its walk.

#include <string_view>

#include "wendrel/bytes.h"
#include "wendrel/message.h"

namespace wendrel {

enum class ContactKind : std::uint8_t { none, contact, list };

// What a message is by its class, compared without regard to case.
ContactKind contactKindOf(const MessageRecord& message);

// The name a contact is saved under, before any -N suffix: its display name
// (PR_DISPLAY_NAME), else its subject, else its file-under name, made a file
// name (see fileNameFrom), "contact" when that leaves nothing; then ".vcf".
std::string_view contactFileName(const MessageRecord& message, char (&buffer)[kScratchSize]);

// The contact's vCard, handed to write in blocks. A value that cannot be
// read whole (a member's entry ID cut short, a string without its end) is
// left out, with "Damaged <what> in contact <fileName>" on standard error.
// False when write fails.
bool writeContact(const MessageRecord& message, ContactKind kind, std::string_view fileName, BlockSink write,
                  void* context);

// At the end of a message's walk: a contact or a list is announced
// ("Contains contact"), or saved with -s ("Contact saved to file <name>").
void handleContact(const MessageRecord& message);

}  // namespace wendrel
