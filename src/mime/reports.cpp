// Reports as mail programs show them (MS-OXCMAIL 2.1.3.6): a read receipt
// or a note that a message was deleted unread as a disposition notification
// (RFC 8098), a delivery or non-delivery report as a delivery status
// notification (RFC 3464), each a multipart/report (RFC 6522) after a text
// that says what it reports. And the text of a recall.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "build.h"

namespace wendrel::mime {

namespace {

struct ReportClass {
  std::string_view suffix;  // of "REPORT.<class>"
  ReportKind kind;
};

// The longer suffixes first: ".Delayed.DR" ends in ".DR" too.
constexpr std::array<ReportClass, 7> kReportClasses{{
    {".IPNRN", ReportKind::read},
    {".IPNNRN", ReportKind::notRead},
    {".Expanded.DR", ReportKind::expanded},
    {".Relayed.DR", ReportKind::relayed},
    {".Delayed.DR", ReportKind::delayed},
    {".DR", ReportKind::delivered},
    {".NDR", ReportKind::failed},
}};

std::string_view actionOf(ReportKind kind) {
  switch (kind) {
    case ReportKind::delivered: return "delivered";
    case ReportKind::expanded: return "expanded";
    case ReportKind::relayed: return "relayed";
    case ReportKind::delayed: return "delayed";
    default: return "failed";
  }
}

// What a field of a report part may hold: one line of printable text, of a
// length no mail program refuses.
std::string fieldValue(std::string value) {
  for (char& c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  std::size_t first = value.find_first_not_of(' ');
  value.erase(0, std::min(first, value.size()));
  while (!value.empty() && value.back() == ' ') value.pop_back();
  if (value.size() > 900) value.resize(900);
  return value;
}

bool isAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::optional<std::string> timeText(const PropertyValue* value) {
  std::optional<std::int64_t> time = timeValue(value);
  if (!time) return std::nullopt;
  return rfc5322Date(*time);
}

// The one who read (or deleted) the message: the receipt's sender, else the
// one it was sent for (MS-OXCMAIL 2.1.3.6.2), else the account it was sent
// from, else the one the original went to.
std::string readerOf(const MessageRecord& record) {
  const PropertySet& set = record.properties;
  OwnedText address = smtpAddressOf(set, Prop::senderSmtpAddress, Prop::senderAddressType, Prop::senderEmailAddress);
  if (address.empty()) {
    address = smtpAddressOf(set, Prop::sentRepresentingSmtpAddress, Prop::sentRepresentingAddressType,
                            Prop::sentRepresentingEmailAddress);
  }
  if (!address.empty()) return std::string(address.view());
  if (Mailbox account; sendingAccountOf(record, account)) return std::string(account.address.view());
  std::string to = std::string(trimBlanks(text(record.find(Prop::originalDisplayTo))));
  return isAddress(to) ? to : std::string();
}

// The original message, as a receipt or a report tells of it.
void describeOriginal(std::string& out, const MessageRecord& record, bool withRecipient) {
  std::string to = text(record.find(Prop::originalDisplayTo));
  std::string subject = text(record.find(Prop::originalSubject));
  std::optional<std::string> sent = timeText(record.find(Prop::originalSubmitTime));
  if (withRecipient && !to.empty()) out += "  To: " + fieldValue(to) + "\n";
  if (!subject.empty()) out += "  Subject: " + fieldValue(subject) + "\n";
  if (sent) out += "  Sent: " + *sent + "\n";
}

std::string receiptText(const MessageRecord& record, ReportKind kind) {
  std::string out = "Your message\n\n";
  describeOriginal(out, record, true);
  out += kind == ReportKind::read ? "\nwas read" : "\nwas deleted without being read";
  if (std::optional<std::string> time = timeText(record.find(Prop::reportTime))) out += " on " + *time;
  out += ".\n";
  return out;
}

// ---- Delivery status ----

struct ReportedRecipient {
  std::string address, name, status, remoteMta, supplementary;
};

// The status code for a recipient: PR_NDR_STATUS_CODE (class * 100 + subject
// * 10 + detail), else the one its diagnostic code stands for, else the
// class's own.
std::string statusOf(const PropertySet& row, ReportKind kind) {
  std::optional<std::int64_t> code = integerValue(row.find(Prop::ndrStatusCode));
  if (code && *code >= 200 && *code <= 599) {
    return std::to_string(*code / 100) + "." + std::to_string(*code / 10 % 10) + "." + std::to_string(*code % 10);
  }
  std::string_view kindDigit = kind == ReportKind::failed ? "5" : kind == ReportKind::delayed ? "4" : "2";
  if (kind != ReportKind::failed) return std::string(kindDigit) + ".0.0";
  // MS-OXCMAIL 2.2.3.7.1.3 read backwards.
  struct Diagnostic {
    std::int64_t code;
    std::string_view status;
  };
  static constexpr Diagnostic kDiagnostics[] = {{35, ".1.1"}, {48, ".1.2"}, {32, ".1.3"}, {1, ".1.4"},
                                                {40, ".1.6"}, {38, ".2.1"}, {13, ".2.2"}, {30, ".2.4"}};
  std::optional<std::int64_t> diagnostic = integerValue(row.find(Prop::ndrDiagCode));
  for (const Diagnostic& d : kDiagnostics) {
    if (diagnostic && *diagnostic == d.code) return std::string(kindDigit) + std::string(d.status);
  }
  return std::string(kindDigit) + ".0.0";
}

ReportedRecipient reportedRecipient(const PropertySet& row) {
  Mailbox mailbox;
  ReportedRecipient recipient;
  if (recipientOf(row, mailbox)) {
    recipient.address = std::string(mailbox.address.view());
    recipient.name = std::string(mailbox.name.view());
  } else {
    recipient.name = text(row.find(Prop::displayName));
  }
  recipient.remoteMta = fieldValue(text(row.find(Prop::remoteMta)));
  recipient.supplementary = fieldValue(text(row.find(Prop::supplementaryInfo)));
  return recipient;
}

// The diagnostic of PR_SUPPLEMENTARY_INFO ("<mx.example.org #5.1.1 smtp;550
// no such user>", MS-OXCMAIL 2.2.3.7.1.2): what follows its status, or the
// whole text when it is not of that form.
std::string diagnosticOf(const std::string& supplementary) {
  std::string text = supplementary;
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = text.substr(1, text.size() - 2);
  std::size_t hash = text.find('#');
  if (hash != std::string::npos) {
    std::size_t space = text.find(' ', hash);
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
  }
  text = fieldValue(text);
  if (text.empty()) return text;
  return text.find(';') != std::string::npos ? text : "smtp; " + text;
}

std::string recipientLabel(const ReportedRecipient& recipient) {
  if (recipient.address.empty()) return fieldValue(recipient.name);
  if (recipient.name.empty() || recipient.name == recipient.address) return recipient.address;
  return fieldValue(recipient.name) + " <" + recipient.address + ">";
}

std::string deliveryText(const MessageRecord& record, ReportKind kind, const std::vector<ReportedRecipient>& recipients) {
  std::string_view opening = kind == ReportKind::failed    ? "Delivery has failed to these recipients:"
                             : kind == ReportKind::delayed ? "Delivery to these recipients has been delayed:"
                             : kind == ReportKind::relayed ? "Your message has been relayed to these recipients:"
                                                           : "Your message has been delivered to these recipients:";
  std::string out(opening);
  out += "\n\n";
  for (const ReportedRecipient& recipient : recipients) {
    out += "  " + recipientLabel(recipient) + "\n";
    if (!recipient.supplementary.empty()) out += "    " + recipient.supplementary + "\n";
  }
  std::string original;
  describeOriginal(original, record, false);
  if (!original.empty()) out += "\nYour message\n\n" + original;
  return out;
}

// This machine's name, as the MTA that reports when the stream names none.
std::string hostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  name[sizeof name - 1] = '\0';
  return fieldValue(name);
}

}  // namespace

ReportKind reportKindOf(const MessageRecord& record) {
  char buffer[kScratchSize];
  std::string_view name = messageClassText(record, buffer);
  // The names of the classic mail system (MS-OXTNEF 2.3.3.4).
  if (beginsWithIgnoringCase(name, "IPM.Microsoft Mail.Read Receipt")) return ReportKind::read;
  if (beginsWithIgnoringCase(name, "IPM.Microsoft Mail.Non-Delivery")) return ReportKind::failed;
  if (!beginsWithIgnoringCase(name, "REPORT.")) return ReportKind::none;
  for (const ReportClass& row : kReportClasses) {
    if (endsWithIgnoringCase(name, row.suffix)) return row.kind;
  }
  return ReportKind::none;
}

std::string recallText(const MessageRecord& record) {
  if (!classBeginsWith(record, "IPM.Outlook.Recall")) return {};
  std::string who;
  Mailbox sender;
  if (senderOf(record, sender) || sendingAccountOf(record, sender)) {
    who = sender.name.empty() ? std::string(sender.address.view()) : std::string(sender.name.view());
  }
  std::string subject = text(record.find(Prop::originalSubject));
  if (subject.empty()) subject = text(record.find(Prop::normalizedSubject));
  if (subject.empty()) subject = text(record.find(Prop::conversationTopic));
  if (subject.empty()) subject = text(record.find(Prop::subject));
  return (who.empty() ? std::string("The sender") : fieldValue(who)) + " would like to recall the message, \"" +
         fieldValue(subject) + "\".\n";
}

// The report part of a receipt (RFC 8098 3.2), after the text.
GMimeObject* Builder::dispositionPart(const MessageRecord& record, ReportKind kind) {
  std::string fields = "Final-Recipient: rfc822;" + fieldValue(readerOf(record)) + "\n";
  std::string id = fieldValue(text(record.find(Prop::originalMessageId)));
  if (!id.empty()) fields += "Original-Message-ID: " + id + "\n";
  fields += "Disposition: manual-action/MDN-sent-manually; ";
  fields += kind == ReportKind::read ? "displayed\n" : "deleted\n";
  // Addresses in UTF-8 make it the global form (RFC 6533).
  GMimePart* part = newPart(isAscii(fields) ? "message/disposition-notification"
                                            : "message/global-disposition-notification", streamOf(fields));
  g_mime_part_set_content_encoding(part, isAscii(fields) ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_8BIT);
  return GMIME_OBJECT(part);
}

// The report part of a delivery report (RFC 3464 2.2, 2.3).
GMimeObject* Builder::deliveryStatusPart(const MessageRecord& record, ReportKind kind, std::string& text) {
  struct Collect {
    std::vector<ReportedRecipient> recipients;
    std::vector<std::string> statuses;
    ReportKind kind;
  } collect{{}, {}, kind};
  forEachRecipient(record.find(Prop::attRecipTable), [](const PropertySet& row, void* context) {
    auto& c = *static_cast<Collect*>(context);
    c.recipients.push_back(reportedRecipient(row));
    c.statuses.push_back(statusOf(row, c.kind));
    return true;
  }, &collect);
  // A report tells of one recipient at least (RFC 3464 2.1).
  if (collect.recipients.empty()) {
    collect.recipients.emplace_back();
    collect.statuses.push_back(statusOf(PropertySet(), kind));
  }
  const std::vector<ReportedRecipient>& recipients = collect.recipients;
  const std::vector<std::string>& statuses = collect.statuses;
  std::string mta = fieldValue(wendrel::mime::text(record.find(Prop::reportingMta)));
  std::string fields = "Reporting-MTA: dns; " + (mta.empty() ? hostName() : mta) + "\n";
  if (std::optional<std::string> arrival = timeText(record.find(Prop::originalSubmitTime))) {
    fields += "Arrival-Date: " + *arrival + "\n";
  }
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const ReportedRecipient& recipient = recipients[i];
    fields += "\nFinal-Recipient: rfc822;" + recipient.address + "\n";
    fields += "Action: " + std::string(actionOf(kind)) + "\n";
    fields += "Status: " + statuses[i] + "\n";
    if (!recipient.remoteMta.empty()) fields += "Remote-MTA: dns; " + recipient.remoteMta + "\n";
    std::string diagnostic = diagnosticOf(recipient.supplementary);
    if (!diagnostic.empty()) fields += "Diagnostic-Code: " + diagnostic + "\n";
    if (!recipient.supplementary.empty()) fields += "X-Supplementary-Info: " + recipient.supplementary + "\n";
    if (!recipient.name.empty() && recipient.name != recipient.address) {
      fields += "X-Display-Name: " + fieldValue(recipient.name) + "\n";
    }
  }
  text = deliveryText(record, kind, recipients);
  GMimePart* part = newPart(isAscii(fields) ? "message/delivery-status" : "message/global-delivery-status", streamOf(fields));
  g_mime_part_set_content_encoding(part, isAscii(fields) ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_8BIT);
  return GMIME_OBJECT(part);
}

GMimeMultipart* Builder::reportContent(const MessageRecord& record, ReportKind kind,
                                       std::vector<GMimeObject*>& bodies, std::vector<GMimeObject*>& attachments) {
  bool receipt = kind == ReportKind::read || kind == ReportKind::notRead;
  std::string made;
  GMimeObject* machine = receipt ? dispositionPart(record, kind) : deliveryStatusPart(record, kind, made);
  if (receipt) made = receiptText(record, kind);
  // The text the report says of itself (its body), else one made from it.
  GMimeObject* human = nullptr;
  if (bodies.empty()) {
    human = GMIME_OBJECT(textPart("text/plain", streamOf(made), "utf-8"));
  } else if (bodies.size() == 1) {
    human = bodies.front();
  } else {
    human = GMIME_OBJECT(multipart("alternative", bodies));
  }
  std::vector<GMimeObject*> parts{human, machine};
  // A report holds the message it returns, if any, as its third part; other
  // attachments go beside it.
  if (attachments.size() == 1 && GMIME_IS_MESSAGE_PART(attachments.front())) {
    parts.push_back(attachments.front());
    attachments.clear();
  }
  GMimeMultipart* report = multipart("report", parts);
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(report), "report-type",
                                           receipt ? "disposition-notification" : "delivery-status");
  if (attachments.empty()) return report;
  attachments.insert(attachments.begin(), GMIME_OBJECT(report));
  return multipart("mixed", attachments);
}

}  // namespace wendrel::mime
