// Compound files: a root stream found and read in the mini stream and in
// sectors of either size, names compared as the format compares them, and
// each kind of damage found before anything is read.

#include "wendrel/formats/compound_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "compound_file_builder.h"

namespace wendrel {

void PrintTo(CompoundFileDamage damage, std::ostream* os) { *os << compoundFileDamageName(damage); }

namespace test {
namespace {

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

bool appendTo(ByteView block, void* context) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), block.data(), block.data() + block.size());
  return true;
}

struct Read {
  CompoundFileDamage damage;
  bool found;
  Bytes data;
};

Read readContents(const Bytes& file) {
  CompoundFileStream stream = findRootStream(ByteView(file.data(), file.size()), "CONTENTS");
  Read read{stream.damage, stream.found, {}};
  bool whole = readCompoundStream(stream, appendTo, &read.data);
  EXPECT_EQ(whole, stream.found && stream.damage == CompoundFileDamage::none);
  if (whole) {
    EXPECT_EQ(read.data.size(), stream.size);
  }
  return read;
}

const Bytes kSmall = pattern(1000, 1), kLarge = pattern(20000, 2), kPicture = pattern(70000, 3);
const CompoundStream kOle{"\x01Ole", pattern(20, 4)}, kCompObj{"\x01" "CompObj", pattern(100, 5)};

TEST(CompoundFiles, RootStreamsFoundAndRead) {
  struct Case {
    std::string name;
    std::vector<CompoundStream> streams;
    int version;
    std::optional<Bytes> contents;  // nothing: not found
  } cases[] = {
      {"in the mini stream", {kOle, {"CONTENTS", kSmall}}, 3, kSmall},
      {"in sectors", {kOle, kCompObj, {"CONTENTS", kLarge}}, 3, kLarge},
      {"4096-byte sectors, in sectors", {{"CONTENTS", kPicture}, kOle}, 4, kPicture},
      {"4096-byte sectors, in the mini stream", {kCompObj, {"CONTENTS", kSmall}}, 4, kSmall},
      {"sectors not in file order", {kOle, {"CONTENTS", kLarge, true}}, 3, kLarge},
      {"any case", {{"contents", kSmall}}, 3, kSmall},
      {"empty", {kOle, {"CONTENTS", {}}}, 3, Bytes{}},
      {"a cutoff's worth", {{"CONTENTS", pattern(4096, 6)}}, 3, pattern(4096, 6)},
      {"deep in the tree", {{"ZZZZZZZZZ", {1}}, {"AAAAAAAA", {2}}, {"AAAAAAAB", {3}}, {"CONTENTS", kLarge}}, 3, kLarge},
      {"none", {kOle, kCompObj, {"CONTENTSX", kSmall}, {"CONTENT", kSmall}}, 3, std::nullopt},
      {"nothing at all", {}, 3, std::nullopt},
  };
  for (const Case& c : cases) {
    Read read = readContents(buildCompoundFile(c.streams, c.version).bytes);
    EXPECT_EQ(read.damage, CompoundFileDamage::none) << c.name;
    EXPECT_EQ(read.found, c.contents.has_value()) << c.name;
    if (c.contents) {
      EXPECT_TRUE(read.data == *c.contents) << c.name;
    }
  }
}

TEST(CompoundFiles, DamageIsFoundBeforeReading) {
  const CompoundFile small = buildCompoundFile({kOle, {"CONTENTS", kSmall}});
  const CompoundFile large = buildCompoundFile({kOle, {"CONTENTS", kLarge}});
  const CompoundFile version4 = buildCompoundFile({kOle, {"CONTENTS", kLarge}}, 4);
  const std::uint32_t contents = large.starts[1];
  struct Case {
    std::string name;
    const CompoundFile& base;
    std::function<void(CompoundFile&)> damage;
    CompoundFileDamage expected;
  } cases[] = {
      {"bad signature", large, [](CompoundFile& f) { f.bytes[7] = 0; }, CompoundFileDamage::badHeader},
      {"big-endian", large, [](CompoundFile& f) { f.bytes[28] = 0xFF, f.bytes[29] = 0xFE; }, CompoundFileDamage::badHeader},
      {"too short for a header", large, [](CompoundFile& f) { f.bytes.resize(511); }, CompoundFileDamage::badHeader},
      {"sector shift", large, [](CompoundFile& f) { f.bytes[30] = 12; }, CompoundFileDamage::badSectorSize},
      {"mini sector shift", large, [](CompoundFile& f) { f.bytes[32] = 7; }, CompoundFileDamage::badSectorSize},
      {"FAT sector outside the file", large, [](CompoundFile& f) { f.setDword(76, 0x7FFFFF); }, CompoundFileDamage::badFat},
      {"directory chain loops", large, [](CompoundFile& f) { f.setFat(f.directorySector, f.directorySector); },
       CompoundFileDamage::badDirectory},
      {"directory chain leaves the file", large, [](CompoundFile& f) { f.setFat(f.directorySector, 0x7FFFFF); },
       CompoundFileDamage::badDirectory},
      {"no root entry", large, [](CompoundFile& f) { f.bytes[f.sectorOffset(f.directorySector) + 66] = 1; },
       CompoundFileDamage::badDirectory},
      {"tree that loops", large,
       [](CompoundFile& f) { f.setDword(f.sectorOffset(f.directorySector) + 128 + 72, 1); }, CompoundFileDamage::badDirectory},
      {"mini FAT chain leaves the file", small, [](CompoundFile& f) { f.setDword(60, 0x7FFFFF); },
       CompoundFileDamage::badMiniFat},
      {"mini chain loops", small,
       [](CompoundFile& f) { f.setDword(f.sectorOffset(f.miniFatSector) + f.starts[1] * 4, f.starts[1]); },
       CompoundFileDamage::badMiniFat},
      {"stream chain loops", large, [&](CompoundFile& f) { f.setFat(contents + 10, contents); },
       CompoundFileDamage::streamDoesNotFit},
      {"stream chain ends short", large, [&](CompoundFile& f) { f.setFat(contents + 3, kCfbEndOfChain); },
       CompoundFileDamage::streamDoesNotFit},
      {"a 64-bit size at its largest", version4,
       [](CompoundFile& f) {
         std::size_t entry = f.sectorOffset(f.directorySector) + 2 * 128;
         f.setDword(entry + 120, 0xFFFFFFFF), f.setDword(entry + 124, 0xFFFFFFFF);
       },
       CompoundFileDamage::streamDoesNotFit},
      {"file cut inside the stream", large, [](CompoundFile& f) { f.bytes.resize(f.bytes.size() - 600); },
       CompoundFileDamage::streamDoesNotFit},
  };
  for (const Case& c : cases) {
    CompoundFile file = c.base;
    c.damage(file);
    Read read = readContents(file.bytes);
    EXPECT_EQ(read.damage, c.expected) << c.name;
    EXPECT_TRUE(read.data.empty()) << c.name;
  }
}

// Every prefix of a file either reads whole and right or is found damaged,
// and a sink that stops stops the read.
TEST(CompoundFiles, PrefixesAndSinksThatStop) {
  for (int version : {3, 4}) {
    Bytes file = buildCompoundFile({kOle, {"Other", kLarge}, {"CONTENTS", kLarge}}, version).bytes;
    for (std::size_t size = 0; size <= file.size(); size += version == 3 ? 7 : 61) {
      Read read = readContents(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)));
      if (read.damage == CompoundFileDamage::none && read.found) {
        EXPECT_TRUE(read.data == kLarge) << size;
      }
    }
    CompoundFileStream stream = findRootStream(ByteView(file.data(), file.size()), "CONTENTS");
    EXPECT_FALSE(readCompoundStream(stream, [](ByteView, void*) { return false; }, nullptr));
  }
}

}  // namespace
}  // namespace test
}  // namespace wendrel
