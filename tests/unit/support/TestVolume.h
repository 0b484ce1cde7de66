// Test volumes on a fake platform: an image with a boot sector to lay an
// $MFT and data into (TestVolume, LayOutMft), or a whole image from
// MftImageBuilder opened the way the run driver opens one (OpenTestVolume).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "ntfs/DataRun.h"
#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/VolumeContext.h"
#include "platform/FakePlatform.h"
#include "support/BootSectorBuilder.h"
#include "support/Bytes.h"
#include "support/FileRecordBuilder.h"

namespace sondrel::test {

inline constexpr const char* kVolumePath = "\\\\.\\X:";

// FakePlatform that also counts writes and can stop one short.
class CountingPlatform : public FakePlatform {
 public:
  int writeCalls = 0;
  std::optional<std::uint32_t> shortWriteBytes;  // the next writes deliver only this many

  bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                 std::uint32_t* bytesWritten) override {
    ++writeCalls;
    if (shortWriteBytes && *shortWriteBytes < buffer.size()) {
      return FakePlatform::WriteFile(handle, buffer.first(*shortWriteBytes), bytesWritten);
    }
    return FakePlatform::WriteFile(handle, buffer, bytesWritten);
  }
};

// A volume image in a FakePlatform, opened and its geometry read.
struct TestVolume {
  CountingPlatform platform;
  VolumeContext volume;

  explicit TestVolume(const BootFields& fields, std::size_t clusters = 64) {
    Bytes image(clusters * fields.bytesPerSector * fields.sectorsPerCluster);
    PutBytes(image, 0, MakeBootSector(fields));
    platform.files[kVolumePath] = image;
    volume.platform = &platform;
    volume.volumeHandle = platform.CreateFileA(kVolumePath, kGenericRead,
                                               kFileShareRead | kFileShareWrite, kOpenExisting);
    std::memcpy(volume.bootSector.data(), image.data(), kBootSectorSize);
    if (auto g = ReadVolumeGeometry(volume.bootSector).geometry) volume.geometry = *g;
    volume.deviceBytes = image.size();  // as the run driver asks the platform
  }

  Bytes& Image() { return platform.files[kVolumePath]; }
  void PutAt(std::uint64_t byteOffset, const Bytes& bytes) {
    PutBytes(Image(), static_cast<std::size_t>(byteOffset), bytes);
  }
  void PutCluster(std::uint64_t lcn, const Bytes& bytes) {
    PutAt(lcn * volume.geometry.ClusterSize, bytes);
  }
};

// Places record bytes at byte `at` of a stream mapped by attribute, piece by
// piece, since its clusters may lie apart.
inline bool PlaceThrough(TestVolume& v, const AttributeRecord& attribute, std::uint64_t at,
                         const Bytes& bytes) {
  const std::uint32_t cs = v.volume.geometry.ClusterSize;
  for (std::uint64_t done = 0; done < bytes.size();) {
    auto m = MapVcn(attribute, (at + done) / cs);
    if (!m) return false;
    const std::uint64_t within = (at + done) % cs;
    const std::uint64_t take = std::min<std::uint64_t>(cs - within, bytes.size() - done);
    v.PutAt(m->lcn * cs + within, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(done),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(done + take)));
    done += take;
  }
  return true;
}

// Lays an $MFT of recordCount records out at mftStartLcn (contiguous unless
// runs are given) and loads record 0. Record N carries N at 0x2C; records
// given in `records` (already protected) replace the empty ones.
inline bool LayOutMft(TestVolume& v, std::uint32_t recordCount, Bytes runs = {},
                      const std::map<std::uint32_t, Bytes>& records = {}) {
  const VolumeGeometry& g = v.volume.geometry;
  const std::uint64_t bytes = std::uint64_t{recordCount} * g.RecordSize;
  const std::uint64_t clusters = (bytes + g.ClusterSize - 1) / g.ClusterSize;
  if (runs.empty()) {
    runs = BytesOf({0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Put32(runs, 1, clusters);
    Put32(runs, 5, g.mftStartLcn);
  }
  NonResidentLayout data{.runs = runs,
                       .lastVcn = clusters - 1,
                       .allocatedSize = clusters * g.ClusterSize,
                       .dataSize = bytes};
  Bytes mftRecord = MakeFileRecord({NonResidentAttribute(data)}, {.size = g.RecordSize});
  Bytes unprotected = mftRecord;
  if (!ApplyFixups(unprotected)) return false;
  auto attribute = FindAttribute(unprotected, kDataType);
  if (!attribute) return false;
  for (std::uint32_t n = 0; n < recordCount; ++n) {
    auto given = records.find(n);
    Bytes record = given != records.end() ? given->second
                   : n == 0               ? mftRecord
                            : MakeFileRecord({}, {.size = g.RecordSize, .recordNumber = n});
    if (!PlaceThrough(v, *attribute, std::uint64_t{n} * g.RecordSize, record)) return false;
  }
  v.platform.reads.clear();
  return LoadMftSelfRecord(v.volume);
}

// Returns false when the image gives no usable geometry or record 0 cannot
// be loaded. The opening's own reads are cleared from platform.reads.
inline bool OpenTestVolume(FakePlatform& platform, Bytes image, VolumeContext& volume,
                           char drive = 'X') {
  std::string device = std::string("\\\\.\\") + drive + ":";
  platform.files[device] = std::move(image);
  volume.platform = &platform;
  volume.volumeHandle = platform.CreateFileA(device, kGenericRead, kFileShareRead | kFileShareWrite,
                                             kOpenExisting);
  if (volume.volumeHandle == kInvalidHandleValue) return false;
  std::uint32_t got = 0;
  if (!platform.ReadFile(volume.volumeHandle, volume.bootSector, &got, nullptr)) return false;
  GeometryResult geometry = ReadVolumeGeometry(volume.bootSector);
  if (!geometry.geometry) return false;
  volume.geometry = *geometry.geometry;
  bool loaded = LoadMftSelfRecord(volume);
  platform.reads.clear();
  return loaded;
}

}  // namespace sondrel::test
