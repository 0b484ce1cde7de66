// A boot sector for tests with the fields the tool reads; the rest stay zero
// but for the jump, the OEM name and the signature a real one carries.
#pragma once

#include <cstdint>

#include "ntfs/VolumeContext.h"
#include "support/Bytes.h"

namespace sondrel::test {

struct BootFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;
  std::uint64_t mftStartLcn = 4;
  std::uint32_t clustersPerRecord = 0xF6;  // 0x40 written whole, so tests can damage its high bytes
  std::uint64_t totalSectors = 0;          // 0: the boot sector does not say
  std::uint64_t mftMirrorLcn = 0;
};

inline Bytes MakeBootSector(const BootFields& f) {
  Bytes b(kBootSectorSize);
  PutBytes(b, 0, BytesOf({0xEB, 0x52, 0x90, 'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '}));
  Put16(b, 0x0B, f.bytesPerSector);
  Put8(b, 0x0D, f.sectorsPerCluster);
  Put8(b, 0x15, 0xF8);  // a fixed disk
  Put64(b, 0x28, f.totalSectors);
  Put64(b, 0x30, f.mftStartLcn);
  Put64(b, 0x38, f.mftMirrorLcn);
  Put32(b, 0x40, f.clustersPerRecord);
  Put8(b, 0x44, 1);  // clusters per index block
  Put16(b, 0x1FE, 0xAA55);
  return b;
}

}  // namespace sondrel::test
