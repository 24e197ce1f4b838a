#pragma once
// Builds compound files for tests, benchmarks and fuzz seeds: streams in the
// root storage, small ones in the mini stream, with the header, DIFAT, FAT,
// directory tree and mini FAT they need; and the places that tests damage.

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "stream_builder.h"

namespace wendrel::test {

inline constexpr std::uint32_t kCfbEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kCfbFree = 0xFFFFFFFF;

struct CompoundFile {
  Bytes bytes;
  std::uint32_t sectorSize = 512;
  std::uint32_t directorySector = 0;
  std::uint32_t miniFatSector = kCfbEndOfChain;
  std::vector<std::uint32_t> starts;  // each stream's first sector, or first mini sector

  std::size_t sectorOffset(std::uint32_t sector) const { return (std::size_t{sector} + 1) * sectorSize; }
  // Where the FAT says what follows sector (the FAT's sectors come first).
  std::size_t fatEntryOffset(std::uint32_t sector) const { return sectorOffset(sector / (sectorSize / 4)) + sector % (sectorSize / 4) * 4; }
  void setDword(std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  void setFat(std::uint32_t sector, std::uint32_t next) { setDword(fatEntryOffset(sector), next); }
};

struct CompoundStream {
  std::string name;  // ASCII
  Bytes data;
  bool reversed = false;  // its sectors lie in the file last first
};

namespace cfb {

// Names ordered as the format orders them: shorter first, then by code unit
// without regard to ASCII case.
inline bool nameBefore(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return static_cast<std::uint8_t>(upper(a[i])) < static_cast<std::uint8_t>(upper(b[i]));
  }
  return false;
}

inline Bytes entry(const std::string& name, std::uint8_t type, std::uint32_t left, std::uint32_t right,
                   std::uint32_t child, std::uint32_t start, std::uint64_t size) {
  Bytes e(128, 0);
  for (std::size_t i = 0; i < name.size() && i < 31; ++i) e[2 * i] = static_cast<std::uint8_t>(name[i]);
  std::uint16_t nameBytes = name.empty() ? 0 : static_cast<std::uint16_t>(2 * (name.size() + 1));
  e[64] = static_cast<std::uint8_t>(nameBytes);
  e[66] = type;
  e[67] = 1;  // black
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) e[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(68, left);
  put(72, right);
  put(76, child);
  put(116, start);
  put(120, static_cast<std::uint32_t>(size));
  put(124, static_cast<std::uint32_t>(size >> 32));
  return e;
}

}  // namespace cfb

// A compound file of version 3 (512-byte sectors) or 4 (4096) whose root
// storage holds streams, in a tree built by inserting them in order.
inline CompoundFile buildCompoundFile(const std::vector<CompoundStream>& streams, int version = 3) {
  CompoundFile file;
  const std::uint32_t ss = version == 3 ? 512 : 4096, per = ss / 4;
  file.sectorSize = ss;
  auto sectorsFor = [&](std::uint64_t bytes) { return static_cast<std::uint32_t>((bytes + ss - 1) / ss); };

  // Small streams in 64-byte mini sectors, the rest in sectors of their own.
  std::uint32_t miniSectors = 0;
  std::vector<std::uint32_t> miniStarts;
  for (const CompoundStream& s : streams) {
    miniStarts.push_back(miniSectors);
    if (s.data.size() < 4096) miniSectors += static_cast<std::uint32_t>((s.data.size() + 63) / 64);
  }
  std::uint32_t miniFatSectors = sectorsFor(std::uint64_t{miniSectors} * 4);
  std::uint32_t miniStreamSectors = sectorsFor(std::uint64_t{miniSectors} * 64);
  std::uint32_t directorySectors = sectorsFor((streams.size() + 1) * 128);
  std::uint32_t dataSectors = directorySectors + miniFatSectors + miniStreamSectors;
  for (const CompoundStream& s : streams) {
    if (s.data.size() >= 4096) dataSectors += sectorsFor(s.data.size());
  }
  std::uint32_t fatSectors = 1, difatSectors = 0;
  for (;;) {
    difatSectors = fatSectors > 109 ? (fatSectors - 109 + per - 2) / (per - 1) : 0;
    std::uint32_t needed = (dataSectors + fatSectors + difatSectors + per - 1) / per;
    if (needed <= fatSectors) break;
    fatSectors = needed;
  }
  std::uint32_t total = fatSectors + difatSectors + dataSectors;
  std::vector<std::uint32_t> fat(std::size_t{fatSectors} * per, kCfbFree);
  std::uint32_t next = 0;
  for (std::uint32_t i = 0; i < fatSectors; ++i) fat[next++] = 0xFFFFFFFD;
  std::uint32_t firstDifat = difatSectors != 0 ? next : kCfbEndOfChain;
  for (std::uint32_t i = 0; i < difatSectors; ++i) fat[next++] = 0xFFFFFFFC;
  // A chain of count sectors from first, in order (or last first).
  auto chain = [&](std::uint32_t count, bool reversed = false) {
    std::uint32_t first = next;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t sector = reversed ? first + count - 1 - i : first + i;
      fat[sector] = i + 1 == count ? kCfbEndOfChain : (reversed ? sector - 1 : sector + 1);
    }
    next += count;
    return reversed && count != 0 ? first + count - 1 : first;
  };
  file.directorySector = chain(directorySectors);
  file.miniFatSector = miniFatSectors != 0 ? chain(miniFatSectors) : kCfbEndOfChain;
  std::uint32_t miniStream = miniStreamSectors != 0 ? chain(miniStreamSectors) : kCfbEndOfChain;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    bool small = streams[i].data.size() < 4096;
    file.starts.push_back(small ? miniStarts[i] : chain(sectorsFor(streams[i].data.size()), streams[i].reversed));
  }

  // The header, in a whole sector of its own.
  Bytes& b = file.bytes;
  b.assign(ss + std::size_t{total} * ss, 0);
  const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(signature), std::end(signature), b.begin());
  auto putWord = [&](std::size_t at, std::uint16_t v) { b[at] = static_cast<std::uint8_t>(v), b[at + 1] = static_cast<std::uint8_t>(v >> 8); };
  putWord(24, 0x3E);
  putWord(26, static_cast<std::uint16_t>(version));
  putWord(28, 0xFFFE);
  putWord(30, version == 3 ? 9 : 12);
  putWord(32, 6);
  file.setDword(40, version == 3 ? 0 : directorySectors);
  file.setDword(44, fatSectors);
  file.setDword(48, file.directorySector);
  file.setDword(56, 4096);
  file.setDword(60, file.miniFatSector);
  file.setDword(64, miniFatSectors);
  file.setDword(68, firstDifat);
  file.setDword(72, difatSectors);
  for (std::uint32_t i = 0; i < 109; ++i) file.setDword(76 + 4 * i, i < fatSectors ? i : kCfbFree);
  for (std::uint32_t d = 0; d < difatSectors; ++d) {
    std::size_t at = file.sectorOffset(fatSectors + d);
    for (std::uint32_t k = 0; k + 1 < per; ++k) {
      std::uint32_t index = 109 + d * (per - 1) + k;
      file.setDword(at + 4 * k, index < fatSectors ? index : kCfbFree);
    }
    file.setDword(at + 4 * (per - 1), d + 1 < difatSectors ? fatSectors + d + 1 : kCfbEndOfChain);
  }
  for (std::size_t i = 0; i < fat.size(); ++i) file.setDword(file.sectorOffset(static_cast<std::uint32_t>(i / per)) + i % per * 4, fat[i]);

  // The directory: the root, then the streams in a binary tree.
  std::vector<std::uint32_t> left(streams.size() + 1, kCfbFree), right(streams.size() + 1, kCfbFree);
  for (std::uint32_t id = 2; id <= streams.size(); ++id) {
    for (std::uint32_t at = 1;;) {
      std::uint32_t& side = cfb::nameBefore(streams[id - 1].name, streams[at - 1].name) ? left[at] : right[at];
      if (side == kCfbFree) {
        side = id;
        break;
      }
      at = side;
    }
  }
  std::size_t directory = file.sectorOffset(file.directorySector);
  Bytes root = cfb::entry("Root Entry", 5, kCfbFree, kCfbFree, streams.empty() ? kCfbFree : 1, miniStream,
                          std::uint64_t{miniSectors} * 64);
  std::copy(root.begin(), root.end(), b.begin() + static_cast<std::ptrdiff_t>(directory));
  for (std::uint32_t id = 1; id <= streams.size(); ++id) {
    const CompoundStream& s = streams[id - 1];
    Bytes e = cfb::entry(s.name, 2, left[id], right[id], kCfbFree, file.starts[id - 1], s.data.size());
    std::copy(e.begin(), e.end(), b.begin() + static_cast<std::ptrdiff_t>(directory + id * 128));
  }
  for (std::size_t id = streams.size() + 1; id < std::size_t{directorySectors} * ss / 128; ++id) {
    Bytes e = cfb::entry("", 0, kCfbFree, kCfbFree, kCfbFree, 0, 0);
    std::copy(e.begin(), e.end(), b.begin() + static_cast<std::ptrdiff_t>(directory + id * 128));
  }

  // The mini FAT and mini stream, then the streams' own sectors.
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const Bytes& data = streams[i].data;
    if (data.size() < 4096) {
      std::uint32_t count = static_cast<std::uint32_t>((data.size() + 63) / 64);
      for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t mini = file.starts[i] + k;
        file.setDword(file.sectorOffset(file.miniFatSector) + std::size_t{mini} * 4, k + 1 == count ? kCfbEndOfChain : mini + 1);
        std::size_t at = file.sectorOffset(miniStream) + std::size_t{mini} * 64;
        std::copy(data.begin() + k * 64, data.begin() + std::min<std::size_t>(data.size(), (k + 1) * 64),
                  b.begin() + static_cast<std::ptrdiff_t>(at));
      }
      continue;
    }
    std::uint32_t count = sectorsFor(data.size());
    for (std::uint32_t k = 0, sector = file.starts[i]; k < count; ++k) {
      std::size_t from = std::size_t{k} * ss;
      std::copy(data.begin() + static_cast<std::ptrdiff_t>(from),
                data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(data.size(), from + ss)),
                b.begin() + static_cast<std::ptrdiff_t>(file.sectorOffset(sector)));
      sector = streams[i].reversed ? sector - 1 : sector + 1;
    }
  }
  return file;
}

}  // namespace wendrel::test
