// Contacts and distribution lists saved as vCard: each file is read back with
// python3-vobject, as an address book reads it, and compared field by field;
// damaged entry IDs are left out and named, never a failed run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "contact_builder.h"
#include "ical_reader.h"
#include "process.h"

namespace wendrel::test {
namespace {

// ---- Reading a card back ----

struct Field {
  std::string params, value;
};

struct Card {
  bool parsed = false;
  std::multimap<std::string, Field> fields;  // by lowercase name, in order

  std::vector<std::string> values(const std::string& name) const {
    std::vector<std::string> found;
    auto [first, last] = fields.equal_range(name);
    for (auto it = first; it != last; ++it) found.push_back(it->second.value);
    return found;
  }
  std::string value(const std::string& name) const {
    std::vector<std::string> found = values(name);
    return found.empty() ? "" : found.front();
  }
  std::vector<std::string> withParams(const std::string& name) const {
    std::vector<std::string> found;
    auto [first, last] = fields.equal_range(name);
    for (auto it = first; it != last; ++it) found.push_back(it->second.params + " " + it->second.value);
    return found;
  }
};

constexpr const char* kDebianPython = "/usr/bin/python3";

// Empty when python3-vobject is not there to read cards with.
std::string vobjectMissing() {
  std::string probe = std::string(kDebianPython) + " -c 'import vobject' >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0 ? "" : "python3-vobject is not installed";
}

Card readCard(const std::string& text) {
  TempDir dir;
  writeFile(dir / "card.vcf", textBytes(text));
  std::string command = std::string(kDebianPython) + " '" WENDREL_SOURCE_DIR "/tests/support/vcard_fields.py' '" +
                        (dir / "card.vcf").string() + "' > '" + (dir / "fields").string() + "' 2>&1";
  Card card;
  card.parsed = std::system(command.c_str()) == 0;
  std::istringstream lines(readFile(dir / "fields"));
  for (std::string line; std::getline(lines, line);) {
    std::size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
    if (second == std::string::npos) continue;
    std::string name = line.substr(0, tab);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    card.fields.emplace(name, Field{line.substr(tab + 1, second - tab - 1), line.substr(second + 1)});
  }
  return card;
}

// ---- Building streams ----

struct Saved {
  RunResult run;
  std::map<std::string, std::string> cards;  // by file name
};

Saved saveCards(const Bytes& stream) {
  SaveResult result = decodeAndSave(stream);
  Saved saved{result.run, {}};
  for (const auto& [name, contents] : result.files) {
    if (name.ends_with(".vcf")) saved.cards[name] = contents;
  }
  return saved;
}

// Every line of a card ends in CRLF and keeps to 75 octets.
void expectLines(const std::string& text, const std::string& label) {
  for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << label;
    EXPECT_LE(end - at, 75u) << label << ": " << text.substr(at, end - at);
  }
}

// ---- Contacts ----

TEST(Contacts, EveryMappedFieldReadsBack) {
  if (std::string why = vobjectMissing(); !why.empty()) GTEST_SKIP() << why;
  Bytes photo{0xFF, 0xD8, 0xFF, 0xE0};
  for (int i = 0; i < 3000; ++i) photo.push_back(static_cast<std::uint8_t>(i * 31));
  ItemProperties p;
  p.text(0x3001, "Zoë Ångström").text(0x3A11, "Ångström").text(0x3A06, "Zoë").text(0x3A44, "Ю")
      .text(0x3A45, "Dr.").text(0x3A05, "Jr.").text(0x3A4F, "Zo").text(0x3A16, "ООО «Ромашка», Ltd")
      .text(0x3A18, "研究; 開発").text(0x3A17, "部長").text(0x3A46, "Engineer")
      .text(NamedSet::address, 0x8083, "zoe@example.org").text(NamedSet::address, 0x8082, "SMTP")
      .text(NamedSet::address, 0x8093, "/O=ORG/CN=ZOE").text(NamedSet::address, 0x8092, "EX")
      .text(NamedSet::address, 0x80A3, "zoe@example.net").text(NamedSet::address, 0x80A2, "SMTP")
      .text(0x3A08, "+1 555 0100").text(0x3A09, "+1 555 0101").text(0x3A1C, "+1 555 0102").text(0x3A24, "+1 555 0103")
      .text(0x3A25, "+1 555 0104").text(0x3A21, "+1 555 0105").text(0x3A1E, "+1 555 0106").text(0x3A2D, "+1 555 0107")
      .text(0x3A2E, "+1 555 0108").text(0x3A1F, "+1 555 0109")
      .text(0x3A5D, "1 Home Road").text(0x3A59, "Springfield").text(0x3A5C, "IL").text(0x3A5B, "62701")
      .text(0x3A5A, "USA").text(NamedSet::address, 0x8045, "2 Work Street\nFloor 3").text(NamedSet::address, 0x8046, "Boulder")
      .text(NamedSet::address, 0x8049, "USA").text(0x3A63, "3 Other Way").text(0x3A5F, "Zürich")
      .integer(NamedSet::address, 0x8022, 2).text(0x3A51, "https://example.org/work")
      .text(0x3A50, "https://example.org/~zoe\nmy page")
      .time(0x3A42, unixTime(1990, 4, 14, 22))
      .time(NamedSet::address, 0x80DF, unixTime(2015, 6, 20)).text(0x1000, "Met at the fair, 2019;\nlikes tea \\ cake.\r\n")
      .texts(NamedSet::publicStrings, "Keywords", {"Friends", "Work, mostly"}).text(0x0037, "ignored subject");
  StreamBuilder stream;
  stream.record(0x00018009, cString("0000000012345678ABCDEF0123456789"));
  Bytes bytes = stream.bytes();
  Bytes contact = contactStream("IPM.Contact", p, photo);
  appendBytes(bytes, Bytes(contact.begin() + 6, contact.end()));
  Saved saved = saveCards(bytes);
  EXPECT_EQ(saved.run.status, 0) << saved.run.err;
  ASSERT_EQ(saved.cards.size(), 1u) << saved.run.out;
  EXPECT_EQ(saved.cards.begin()->first, "Zoë Ångström.vcf");
  EXPECT_NE(saved.run.out.find("Contact saved to file Zoë Ångström.vcf\n"), std::string::npos) << saved.run.out;
  const std::string& text = saved.cards.begin()->second;
  expectLines(text, "contact");
  Card card = readCard(text);
  ASSERT_TRUE(card.parsed) << text;
  EXPECT_EQ(card.value("version"), "3.0");
  EXPECT_EQ(card.value("fn"), "Zoë Ångström");
  EXPECT_EQ(card.value("n"), "Ångström\x1fZoë\x1fЮ\x1f" "Dr.\x1fJr.");
  EXPECT_EQ(card.value("nickname"), "Zo");
  EXPECT_EQ(card.value("org"), "ООО «Ромашка», Ltd\x1f研究; 開発");
  EXPECT_EQ(card.value("title"), "部長");
  EXPECT_EQ(card.value("role"), "Engineer");
  // SMTP only: the Exchange address is left out.
  EXPECT_EQ(card.withParams("email"),
            (std::vector<std::string>{"TYPE=INTERNET,PREF zoe@example.org", "TYPE=INTERNET zoe@example.net"}));
  std::vector<std::string> phones = card.withParams("tel");
  for (std::string expected : {"TYPE=WORK,VOICE +1 555 0100", "TYPE=HOME,VOICE +1 555 0101", "TYPE=CELL,VOICE +1 555 0102",
                               "TYPE=WORK,FAX +1 555 0103", "TYPE=HOME,FAX +1 555 0104", "TYPE=PAGER +1 555 0105",
                               "TYPE=CAR,VOICE +1 555 0106", "TYPE=ISDN +1 555 0107", "TYPE=X-ASSISTANT +1 555 0108",
                               "TYPE=VOICE +1 555 0109"}) {
    EXPECT_NE(std::find(phones.begin(), phones.end(), expected), phones.end()) << expected;
  }
  EXPECT_EQ(phones.size(), 10u);
  // A quoted "WORK,VOICE" would be one type that no address book knows.
  EXPECT_NE(text.find("\r\nTEL;TYPE=WORK,VOICE:+1 555 0100\r\n"), std::string::npos) << text;
  EXPECT_EQ(card.withParams("adr"),
            (std::vector<std::string>{"TYPE=HOME \x1f\x1f" "1 Home Road\x1fSpringfield\x1fIL\x1f" "62701\x1fUSA",
                                      "TYPE=WORK,PREF \x1f\x1f" "2 Work Street\\nFloor 3\x1f" "Boulder\x1f\x1f\x1fUSA",
                                      "TYPE=OTHER \x1f\x1f" "3 Other Way\x1fZürich\x1f\x1f\x1f"}));
  // A line break or a space cannot stand in a URI (nor a line break in a content line).
  EXPECT_EQ(card.withParams("url"),
            (std::vector<std::string>{"TYPE=WORK https://example.org/work", "TYPE=HOME https://example.org/~zoe%0Amy%20page"}));
  // Midnight in a zone east of UTC is the evening before in UTC.
  EXPECT_EQ(card.value("bday"), "1990-04-15");
  EXPECT_EQ(card.value("x-ms-anniversary"), "2015-06-20");
  EXPECT_EQ(card.value("note"), "Met at the fair, 2019;\\nlikes tea \\ cake.");
  EXPECT_EQ(card.value("categories"), "Friends\x1fWork, mostly");
  EXPECT_EQ(card.value("photo").substr(0, 11), "bytes 3004 ");
  EXPECT_EQ(card.withParams("photo").front().substr(0, 21), "ENCODING=b;TYPE=JPEG ");
  EXPECT_EQ(card.value("uid"), "0000000012345678ABCDEF0123456789");
  // Without -s it is announced.
  EXPECT_NE(decode(bytes).out.find("Contains contact\n"), std::string::npos);
}

TEST(Contacts, NamesTheyAreSavedUnder) {
  struct Case {
    std::string name;
    ItemProperties properties;
    std::string file;
  };
  std::vector<Case> cases;
  cases.push_back({"display name", ItemProperties().text(0x3001, "Ada <ada@example.org>").text(0x0037, "s"),
                   "Ada _ada@example.org_.vcf"});
  cases.push_back({"subject", ItemProperties().text(0x0037, "Grace: \"Admiral\""), "Grace_ _Admiral_.vcf"});
  cases.push_back({"file under", ItemProperties().text(NamedSet::address, 0x8005, "Turing, Alan"), "Turing, Alan.vcf"});
  cases.push_back({"nothing", ItemProperties().text(0x3001, " "), "contact.vcf"});
  cases.push_back({"dots", ItemProperties().text(0x3001, ".."), "contact.vcf"});
  cases.push_back({"long", ItemProperties().text(0x3001, std::string(300, 'a')), std::string(251, 'a') + ".vcf"});
  for (const Case& c : cases) {
    Saved saved = saveCards(contactStream("IPM.Contact", c.properties));
    ASSERT_EQ(saved.cards.size(), 1u) << c.name << saved.run.out;
    EXPECT_EQ(saved.cards.begin()->first, c.file) << c.name;
  }
  // Two of one name, and each kind of class.
  StreamBuilder twice;
  for (const char* messageClass : {"IPM.Contact", "ipm.contact.custom", "IPM.DistList"}) {
    twice.record(0x00069002, Bytes(14, 0), 2).record(0x00069005, objectProperties({embeddedMessage(
        contactStream(messageClass, ItemProperties().text(0x3001, "Same")))}), 2);
  }
  Saved saved = saveCards(twice.bytes());
  std::vector<std::string> names;
  for (const auto& [name, text] : saved.cards) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Same-1.vcf", "Same-2.vcf", "Same.vcf"}));
  // Each is written at the end of its own message.
  EXPECT_NE(saved.run.out.find("Contact saved to file Same.vcf\nEnd of embedded message"), std::string::npos)
      << saved.run.out;
}

// ---- Distribution lists ----

TEST(Contacts, ListsAreGroupsOfTheirMembersAddresses) {
  if (std::string why = vobjectMissing(); !why.empty()) GTEST_SKIP() << why;
  std::vector<Bytes> members{
      oneOff("Ada Lovelace", "SMTP", "ada@example.org"),
      oneOff("Gr\xFC\xDF Gott", "SMTP", "gruss+tag@example.org", false),  // 8-bit, in the stream's code page
      wrappedOneOff(oneOff("Grace", "smtp", "grace@example.org")),
      oneOff("Exchange", "EX", "/O=ORG/OU=EXCHANGE/CN=ALAN"),
      oneOff("Fax", "FAX", "+1 555 0100"),
      oneOff("No address", "SMTP", "not an address"),
  };
  ItemProperties p;
  p.text(0x3001, "Team").binaries(NamedSet::address, 0x8054, members);
  StreamBuilder stream;
  stream.record(0x00069007, dwordBytes(1252));
  Bytes list = contactStream("IPM.DistList", p);
  Bytes bytes = stream.bytes();
  appendBytes(bytes, Bytes(list.begin() + 6, list.end()));
  Saved saved = saveCards(bytes);
  EXPECT_EQ(saved.run.status, 0) << saved.run.err;
  EXPECT_EQ(saved.run.err, "");
  ASSERT_EQ(saved.cards.size(), 1u);
  EXPECT_EQ(saved.cards.begin()->first, "Team.vcf");
  const std::string& text = saved.cards.begin()->second;
  expectLines(text, "list");
  EXPECT_NE(text.find("BEGIN:VCARD\r\nVERSION:4.0\r\n"), std::string::npos) << text;
  Card card = readCard(text);
  ASSERT_TRUE(card.parsed) << text;
  EXPECT_EQ(card.value("kind"), "group");
  EXPECT_EQ(card.value("fn"), "Team");
  EXPECT_EQ(card.values("member"), (std::vector<std::string>{"mailto:ada@example.org", "mailto:gruss+tag@example.org",
                                                             "mailto:grace@example.org"}));
  EXPECT_EQ(card.value("note"), "3 members without an e-mail address");
  // Without one-off members, the members themselves where they are one-offs.
  ItemProperties byMembers;
  byMembers.text(0x3001, "Pair").binaries(NamedSet::address, 0x8055,
                                          {wrappedOneOff(oneOff("Ada", "SMTP", "ada@example.org")), Bytes(40, 0x33)});
  Card pair = readCard(saveCards(contactStream("IPM.DistList", byMembers)).cards["Pair.vcf"]);
  EXPECT_EQ(pair.values("member"), std::vector<std::string>{"mailto:ada@example.org"});
  EXPECT_EQ(pair.value("note"), "1 member without an e-mail address");
}

// Damaged entry IDs never fail the run: every prefix of one, strings that do
// not end, a count past the value. Each card is still sound.
TEST(Contacts, DamagedMembersAreLeftOutAndNamed) {
  Bytes good = oneOff("Ada", "SMTP", "ada@example.org");
  std::vector<Bytes> cases;
  for (std::size_t length = 0; length < good.size(); ++length) cases.push_back(Bytes(good.begin(), good.begin() + length));
  Bytes unterminated = oneOff("Ada", "SMTP", "ada@example.org", false);
  unterminated.pop_back();
  cases.push_back(unterminated);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ItemProperties p;
    p.text(0x3001, "Broken").binaries(NamedSet::address, 0x8054, {good, cases[i]});
    Saved saved = saveCards(contactStream("IPM.DistList", p));
    EXPECT_EQ(saved.run.status, 0) << i;
    ASSERT_EQ(saved.cards.size(), 1u) << i;
    std::string text = saved.cards["Broken.vcf"];
    EXPECT_NE(text.find("MEMBER:mailto:ada@example.org\r\n"), std::string::npos) << i;
    EXPECT_EQ(text.find("MEMBER", text.find("MEMBER") + 1), std::string::npos) << i;
    // A prefix of 19 bytes or fewer is no entry ID of any kind, but too short.
    EXPECT_EQ(saved.run.err, "Damaged distribution list member in contact Broken.vcf\n") << i;
    expectLines(text, "damaged " + std::to_string(i));
  }
  // A count of values past what the value holds.
  Bytes claiming;
  appendDword(claiming, 1000);
  appendDword(claiming, static_cast<std::uint32_t>(good.size()));
  appendBytes(claiming, padded(good));
  ItemProperties p;
  p.text(0x3001, "Counted").named(NamedSet::address, 0x8054, kMultiValued | kPtBinary, claiming);
  Saved saved = saveCards(contactStream("IPM.DistList", p));
  EXPECT_EQ(saved.run.status, 0);
  // The walk stops at the property that does not fit: the card keeps the name.
  ASSERT_EQ(saved.cards.size(), 1u) << saved.run.out;
  EXPECT_EQ(saved.cards["Counted.vcf"].find("MEMBER"), std::string::npos);
  EXPECT_NE(saved.cards["Counted.vcf"].find("FN:Counted\r\n"), std::string::npos);
  EXPECT_EQ(saved.run.err, "Truncated MAPI property list\n");
}

}  // namespace
}  // namespace wendrel::test
