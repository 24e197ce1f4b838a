// Compound files: the header, the FAT through the DIFAT, the directory, the
// mini FAT and mini stream, and one stream of the root storage read in runs
// of contiguous sectors. Every chain is followed with a bitmap of the sectors
// seen, so a chain that loops is found at its first repeat and no chain takes
// more steps than the file has sectors.

#include "wendrel/formats/compound_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace wendrel {

namespace {

constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kHeaderDifatEntries = 109;
constexpr std::size_t kHeaderDifatOffset = 76;
constexpr std::size_t kEntrySize = 128;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint32_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kMostMiniSectors = kMiniStreamCutoff / kMiniSectorSize;
constexpr std::uint8_t kStreamObject = 2;
constexpr std::uint8_t kRootObject = 5;

using Damage = CompoundFileDamage;

// An array of 32-bit values on the heap, freed with its scope (the tool links
// no C++ run-time, so no std::vector).
class Array32 {
 public:
  Array32() = default;
  Array32(const Array32&) = delete;
  Array32& operator=(const Array32&) = delete;
  ~Array32() { std::free(items_); }

  bool allocate(std::size_t count) {
    items_ = static_cast<std::uint32_t*>(std::calloc(count != 0 ? count : 1, sizeof(std::uint32_t)));
    return items_ != nullptr;
  }
  std::uint32_t& operator[](std::size_t i) { return items_[i]; }
  std::uint32_t operator[](std::size_t i) const { return items_[i]; }

 private:
  std::uint32_t* items_ = nullptr;
};

// One bit for every sector of the file: which a chain has visited.
class Visited {
 public:
  explicit Visited(std::uint32_t sectors) { ok_ = bits_.allocate(sectors / 32 + 1); }
  bool ok() const { return ok_; }
  // False when sector was seen before.
  bool first(std::uint32_t sector) {
    std::uint32_t& word = bits_[sector / 32];
    std::uint32_t bit = std::uint32_t{1} << (sector % 32);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
  }

 private:
  Array32 bits_;
  bool ok_ = false;
};

// The file's sectors and its FAT.
struct Volume {
  ByteView file;
  unsigned shift = 0;
  std::uint32_t sectorSize = 0;
  std::uint32_t sectorCount = 0;  // sectors that begin inside the file
  bool version3 = true;           // sizes are 32-bit
  Array32 fatSectors;             // where each FAT sector lies
  std::uint32_t fatSectorCount = 0;

  std::uint32_t perSector() const { return sectorSize / 4; }
  bool inFile(std::uint32_t sector) const { return sector < sectorCount; }
  std::uint64_t offsetOf(std::uint32_t sector) const { return (std::uint64_t{sector} + 1) << shift; }
  // The sector's bytes, fewer for the last sector of a file cut short.
  ByteView sector(std::uint32_t sector) const { return file.sub(offsetOf(sector), sectorSize); }
  bool whole(std::uint32_t sector) const { return inFile(sector) && this->sector(sector).size() == sectorSize; }

  // The sector after sector in its chain, or nothing when the FAT does not
  // say (it does not reach that far, or its sector is cut short).
  std::optional<std::uint32_t> next(std::uint32_t sector) const {
    std::uint32_t index = sector / perSector();
    if (index >= fatSectorCount) return std::nullopt;
    ByteView fat = this->sector(fatSectors[index]);
    std::size_t at = std::size_t{sector % perSector()} * 4;
    if (!fat.contains(at, 4)) return std::nullopt;
    return fat.dword(at);
  }
};

Damage readHeader(ByteView file, Volume& volume) {
  if (file.size() < kHeaderSize || !std::equal(kCompoundFileSignature.begin(), kCompoundFileSignature.end(), file.data()))
    return Damage::badHeader;
  std::uint16_t major = file.word(26);
  if (file.word(28) != 0xFFFE || (major != 3 && major != 4)) return Damage::badHeader;
  std::uint16_t shift = file.word(30);
  if (shift != (major == 3 ? 9 : 12) || file.word(32) != 6) return Damage::badSectorSize;
  if (file.dword(56) != kMiniStreamCutoff) return Damage::badHeader;
  volume.file = file;
  volume.shift = shift;
  volume.sectorSize = std::uint32_t{1} << shift;
  volume.version3 = major == 3;
  std::uint64_t body = file.size() > volume.sectorSize ? file.size() - volume.sectorSize : 0;
  volume.sectorCount = static_cast<std::uint32_t>(std::min<std::uint64_t>((body + volume.sectorSize - 1) >> shift, 0xFFFFFFFA));
  return Damage::none;
}

// The FAT's sectors: the first 109 in the header, the rest in the DIFAT
// chain, each of whose sectors ends with the next one's number.
Damage readFat(Volume& volume, Visited& visited) {
  ByteView header = volume.file;
  // More FAT sectors than the file's sectors need would describe none of them.
  std::uint32_t needed = (volume.sectorCount + volume.perSector() - 1) / volume.perSector();
  std::uint32_t count = std::min(header.dword(44), needed);
  if (!volume.fatSectors.allocate(count)) return Damage::badFat;
  std::uint32_t filled = 0;
  auto add = [&](std::uint32_t sector) {
    if (!volume.inFile(sector)) return false;
    volume.fatSectors[filled++] = sector;
    return true;
  };
  for (std::size_t i = 0; i < kHeaderDifatEntries && filled < count; ++i) {
    if (!add(header.dword(kHeaderDifatOffset + 4 * i))) return Damage::badFat;
  }
  for (std::uint32_t difat = header.dword(68); filled < count;) {
    if (!volume.whole(difat) || !visited.first(difat)) return Damage::badFat;
    ByteView sector = volume.sector(difat);
    for (std::uint32_t i = 0; i + 1 < volume.perSector() && filled < count; ++i) {
      if (!add(sector.dword(4 * std::size_t{i}))) return Damage::badFat;
    }
    difat = sector.dword(4 * std::size_t{volume.perSector() - 1});
  }
  volume.fatSectorCount = count;
  return Damage::none;
}

Damage openVolume(ByteView file, Volume& volume) {
  Damage damage = readHeader(file, volume);
  if (damage != Damage::none) return damage;
  Visited visited(volume.sectorCount);
  if (!visited.ok()) return Damage::badFat;
  return readFat(volume, visited);
}

// Follows a chain from start through count sectors (each in the file and not
// seen before in this chain), calling visit with each and its index.
template <typename Visit>
bool followChain(const Volume& volume, std::uint32_t start, std::uint64_t count, Visit visit) {
  if (count > volume.sectorCount) return false;
  Visited visited(volume.sectorCount);
  if (!visited.ok()) return false;
  std::uint32_t sector = start;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (i != 0) {
      std::optional<std::uint32_t> next = volume.next(sector);
      if (!next) return false;
      sector = *next;
    }
    if (!volume.inFile(sector) || !visited.first(sector) || !visit(sector, i)) return false;
  }
  return true;
}

// How many sectors a chain that ends with ENDOFCHAIN has, or nothing when it
// leaves the file or loops first.
std::optional<std::uint32_t> chainLength(const Volume& volume, std::uint32_t start) {
  Visited visited(volume.sectorCount);
  if (!visited.ok()) return std::nullopt;
  std::uint32_t length = 0;
  for (std::uint32_t sector = start; sector != kEndOfChain; ++length) {
    if (!volume.whole(sector) || !visited.first(sector)) return std::nullopt;
    std::optional<std::uint32_t> next = volume.next(sector);
    if (!next) return std::nullopt;
    sector = *next;
  }
  return length;
}

// ---- The directory ----

struct Directory {
  Array32 sectors;
  std::uint32_t entryCount = 0;

  ByteView entry(const Volume& volume, std::uint32_t id) const {
    std::uint32_t perSector = volume.sectorSize / kEntrySize;
    return volume.sector(sectors[id / perSector]).sub(std::size_t{id % perSector} * kEntrySize, kEntrySize);
  }
};

Damage readDirectory(const Volume& volume, Directory& directory) {
  std::uint32_t first = volume.file.dword(48);
  std::optional<std::uint32_t> length = chainLength(volume, first);
  if (!length || *length == 0 || !directory.sectors.allocate(*length)) return Damage::badDirectory;
  followChain(volume, first, *length, [&](std::uint32_t sector, std::uint64_t i) {
    directory.sectors[i] = sector;
    return true;
  });
  directory.entryCount = *length * (volume.sectorSize / static_cast<std::uint32_t>(kEntrySize));
  if (directory.entry(volume, 0).byte(66) != kRootObject) return Damage::badDirectory;
  return Damage::none;
}

char32_t upper(char32_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Orders name before (<0), at (0) or after (>0) the entry's name: shorter
// names first, then code unit by code unit without regard to ASCII case.
int compareName(std::string_view name, ByteView entry) {
  std::size_t bytes = entry.word(64);
  std::size_t units = bytes >= 2 && bytes <= 64 ? bytes / 2 - 1 : 0;
  if (name.size() != units) return name.size() < units ? -1 : 1;
  for (std::size_t i = 0; i < units; ++i) {
    char32_t a = upper(static_cast<std::uint8_t>(name[i]));
    char32_t b = upper(entry.word(2 * i));
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

// The entry of the root's child named name: a search of the tree as a plain
// binary tree, no more steps than there are entries.
std::optional<std::uint32_t> findChild(const Volume& volume, const Directory& directory, std::string_view name,
                                       Damage& damage) {
  std::uint32_t id = directory.entry(volume, 0).dword(76);
  for (std::uint32_t steps = 0; id != kNoEntry; ++steps) {
    if (id >= directory.entryCount || steps >= directory.entryCount) {
      damage = Damage::badDirectory;
      return std::nullopt;
    }
    ByteView entry = directory.entry(volume, id);
    int order = compareName(name, entry);
    if (order == 0) return id;
    id = entry.dword(order < 0 ? 68 : 72);
  }
  return std::nullopt;
}

std::uint64_t entrySize(const Volume& volume, ByteView entry) {
  return volume.version3 ? entry.dword(120) : entry.dword(120) | std::uint64_t{entry.dword(124)} << 32;
}

// ---- The mini stream ----

// Where each mini sector of a small stream lies in the file: found through
// the mini FAT, then the root's chain of regular sectors that holds the mini
// stream.
struct MiniPlan {
  std::uint32_t count = 0;
  std::uint64_t offsets[kMostMiniSectors];
};

// The mini FAT's entry for mini sector m: its sector is found by walking the
// mini FAT's chain (a small stream needs at most 64 entries).
std::optional<std::uint32_t> nextMini(const Volume& volume, std::uint32_t mini) {
  std::uint64_t index = mini / volume.perSector();
  std::optional<std::uint32_t> at;
  followChain(volume, volume.file.dword(60), index + 1, [&](std::uint32_t sector, std::uint64_t i) {
    if (i == index && volume.whole(sector)) at = sector;
    return true;
  });
  if (!at) return std::nullopt;
  return volume.sector(*at).dword(std::size_t{mini % volume.perSector()} * 4);
}

Damage planMiniStream(const Volume& volume, ByteView root, std::uint32_t start, std::uint64_t size, MiniPlan& plan) {
  std::uint64_t rootSize = entrySize(volume, root);
  std::uint64_t miniSectors = rootSize / kMiniSectorSize + (rootSize % kMiniSectorSize != 0 ? 1 : 0);
  plan.count = static_cast<std::uint32_t>((size + kMiniSectorSize - 1) / kMiniSectorSize);
  std::uint32_t minis[kMostMiniSectors];
  for (std::uint32_t i = 0, mini = start; i < plan.count; ++i) {
    if (i != 0) {
      std::optional<std::uint32_t> next = nextMini(volume, mini);
      if (!next) return Damage::badMiniFat;
      mini = *next;
    }
    if (mini >= miniSectors || std::find(minis, minis + i, mini) != minis + i) return Damage::badMiniFat;
    minis[i] = mini;
  }
  // One walk of the mini stream's chain, as far as the farthest mini sector.
  std::uint64_t farthest = 0;
  for (std::uint32_t i = 0; i < plan.count; ++i) farthest = std::max(farthest, std::uint64_t{minis[i]} * kMiniSectorSize >> volume.shift);
  bool walked = plan.count == 0 || followChain(volume, root.dword(116), farthest + 1, [&](std::uint32_t sector, std::uint64_t j) {
    for (std::uint32_t i = 0; i < plan.count; ++i) {
      std::uint64_t byte = std::uint64_t{minis[i]} * kMiniSectorSize;
      if ((byte >> volume.shift) == j) plan.offsets[i] = volume.offsetOf(sector) + (byte & (volume.sectorSize - 1));
    }
    return true;
  });
  if (!walked) return Damage::badMiniFat;
  for (std::uint32_t i = 0; i < plan.count; ++i) {
    std::uint64_t need = std::min<std::uint64_t>(kMiniSectorSize, size - std::uint64_t{i} * kMiniSectorSize);
    if (!volume.file.contains(plan.offsets[i], need)) return Damage::badMiniFat;
  }
  return Damage::none;
}

// ---- Regular streams ----

// Follows a stream's chain, calling run with each run of sectors that lie
// one after another in the file and the bytes of the stream they hold.
template <typename Run>
bool followStream(const Volume& volume, std::uint32_t start, std::uint64_t size, Run run) {
  // The size comes from the file: rounded up without overflow.
  std::uint64_t count = (size >> volume.shift) + ((size & (volume.sectorSize - 1)) != 0 ? 1 : 0);
  std::uint32_t first = 0;
  std::uint64_t sectors = 0;
  auto flush = [&](std::uint64_t last) {
    std::uint64_t bytes = std::min<std::uint64_t>(sectors << volume.shift, size - (last << volume.shift));
    return sectors == 0 || run(volume.offsetOf(first), bytes);
  };
  bool followed = followChain(volume, start, count, [&](std::uint32_t sector, std::uint64_t i) {
    if (sectors != 0 && sector == first + sectors) {
      ++sectors;
      return true;
    }
    bool handed = flush(i - sectors);
    first = sector;
    sectors = 1;
    return handed;
  });
  return followed && flush(count - sectors);
}

Damage checkStream(const Volume& volume, std::uint32_t start, std::uint64_t size) {
  bool fits = followStream(volume, start, size, [&](std::uint64_t offset, std::uint64_t bytes) {
    return volume.file.contains(offset, bytes);
  });
  return fits ? Damage::none : Damage::streamDoesNotFit;
}

constexpr std::array<std::string_view, 7> kDamageNames{
    "none", "badHeader", "badSectorSize", "badFat", "badDirectory", "badMiniFat", "streamDoesNotFit"};
static_assert(kDamageNames.size() == static_cast<std::size_t>(Damage::streamDoesNotFit) + 1);

}  // namespace

std::string_view compoundFileDamageName(CompoundFileDamage damage) {
  auto index = static_cast<std::size_t>(damage);
  return index < kDamageNames.size() ? kDamageNames[index] : "unknown";
}

CompoundFileStream findRootStream(ByteView file, std::string_view name) {
  CompoundFileStream stream;
  stream.file = file;
  Volume volume;
  Directory directory;
  stream.damage = openVolume(file, volume);
  if (stream.damage == Damage::none) stream.damage = readDirectory(volume, directory);
  if (stream.damage != Damage::none) return stream;
  std::optional<std::uint32_t> id = findChild(volume, directory, name, stream.damage);
  if (!id || directory.entry(volume, *id).byte(66) != kStreamObject) return stream;
  ByteView entry = directory.entry(volume, *id);
  stream.found = true;
  stream.size = entrySize(volume, entry);
  stream.startSector = entry.dword(116);
  stream.inMiniStream = stream.size < kMiniStreamCutoff;
  if (stream.inMiniStream) {
    MiniPlan plan;
    stream.damage = planMiniStream(volume, directory.entry(volume, 0), stream.startSector, stream.size, plan);
  } else {
    stream.damage = checkStream(volume, stream.startSector, stream.size);
  }
  return stream;
}

bool readCompoundStream(const CompoundFileStream& stream, BlockSink write, void* context) {
  if (stream.damage != Damage::none || !stream.found) return false;
  Volume volume;
  Directory directory;
  if (openVolume(stream.file, volume) != Damage::none || readDirectory(volume, directory) != Damage::none) return false;
  if (stream.inMiniStream) {
    MiniPlan plan;
    if (planMiniStream(volume, directory.entry(volume, 0), stream.startSector, stream.size, plan) != Damage::none) return false;
    std::uint8_t bytes[kMiniStreamCutoff];
    for (std::uint32_t i = 0; i < plan.count; ++i) {
      std::uint64_t need = std::min<std::uint64_t>(kMiniSectorSize, stream.size - std::uint64_t{i} * kMiniSectorSize);
      std::memcpy(bytes + std::size_t{i} * kMiniSectorSize, stream.file.data() + plan.offsets[i], need);
    }
    return stream.size == 0 || write(ByteView(bytes, stream.size), context);
  }
  return followStream(volume, stream.startSector, stream.size, [&](std::uint64_t offset, std::uint64_t bytes) {
    return volume.file.contains(offset, bytes) && write(volume.file.sub(offset, bytes), context);
  });
}

}  // namespace wendrel
