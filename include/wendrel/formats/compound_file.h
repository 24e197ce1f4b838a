#pragma once
// Compound files (OLE structured storage): a 512-byte header, then sectors of
// 512 or 4096 bytes chained by a file allocation table (FAT), whose own
// sectors the header and the DIFAT list. A directory of 128-byte entries,
// itself a chain, names storages and streams in red-black trees; streams
// under 4096 bytes live in 64-byte mini sectors of the root's mini stream,
// chained by the mini FAT.
//
// Only streams in the root storage are looked for (an OLE object's picture is
// its CONTENTS stream). Reading is in two passes, as for compressed RTF:
// findRootStream() checks everything a read needs, following every chain no
// more steps than the file has sectors, and readCompoundStream() then hands
// the stream over in blocks, contiguous sectors as one.

#include <array>
#include <cstdint>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel {

inline constexpr std::array<std::uint8_t, 8> kCompoundFileSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

enum class CompoundFileDamage : std::uint8_t {
  none,
  badHeader,         // too short for a header, wrong signature, byte order, version or cutoff
  badSectorSize,     // a sector shift other than 9 (version 3) or 12 (version 4), or a mini shift other than 6
  badFat,            // the DIFAT chain or a FAT sector leaves the file, or the DIFAT chain loops
  badDirectory,      // the directory chain leaves the file or loops, or the root entry is missing
  badMiniFat,        // the mini FAT chain or the mini stream leaves the file or loops
  streamDoesNotFit,  // the stream's chain ends, loops or leaves the file before its size is covered
};

// The enumerator's name ("badFat"), for messages and test reports.
std::string_view compoundFileDamageName(CompoundFileDamage damage);

struct CompoundFileStream {
  CompoundFileDamage damage = CompoundFileDamage::none;
  bool found = false;      // the root storage holds a stream of that name
  std::uint64_t size = 0;  // its size in bytes
  // Where it lies, for readCompoundStream.
  ByteView file;
  std::uint32_t startSector = 0;
  bool inMiniStream = false;
};

// Checks the header, the FAT, the directory and, when the root storage holds
// a stream named name (compared as the format compares names: by length,
// then without regard to case), that stream's whole chain.
CompoundFileStream findRootStream(ByteView file, std::string_view name);

// Hands the size bytes of a sound stream that findRootStream found to write,
// in order; false as soon as write returns false, and at once for a damaged
// or missing stream.
bool readCompoundStream(const CompoundFileStream& stream, BlockSink write, void* context);

}  // namespace wendrel
