// Test volumes on a fake platform: an image with a boot sector to lay an
// $MFT and data into (TestVolume, LayOutMft), or a whole image from
// MftImageBuilder opened the way the run driver opens one (OpenTestVolume).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "ntfs/DataRun.h"
#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/OpenVolume.h"
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

// A volume image in a FakePlatform: a boot sector for the given geometry,
// opened through OpenVolumeGeometry since there is no $MFT yet. LayOutMft
// writes one and opens the image again, fully, through OpenVolume.
struct TestVolume {
  CountingPlatform platform;
  VolumeHandle handle;
  VolumeContext volume;

  explicit TestVolume(const BootFields& fields, std::size_t clusters = 64) {
    Bytes image(clusters * fields.bytesPerSector * fields.sectorsPerCluster);
    PutBytes(image, 0, MakeBootSector(fields));
    platform.files[kVolumePath] = image;
    Take(OpenVolumeGeometry(platform, kVolumePath));
  }

  // Opens the image again through OpenVolume; false when it refuses it.
  bool Open() { return Take(OpenVolume(platform, kVolumePath)); }

  Bytes& Image() { return platform.files[kVolumePath]; }
  void PutAt(std::uint64_t byteOffset, const Bytes& bytes) {
    PutBytes(Image(), static_cast<std::size_t>(byteOffset), bytes);
  }
  void PutCluster(std::uint64_t lcn, const Bytes& bytes) {
    PutAt(lcn * volume.geometry.clusterSize, bytes);
  }

 private:
  // Keeps an opened volume; the opening's own reads are cleared.
  bool Take(OpenVolumeResult opened) {
    platform.reads.clear();
    if (!opened.volume) return false;
    handle = std::move(opened.volume->handle);
    volume = std::move(opened.volume->context);
    return true;
  }
};

// Places record bytes at byte `at` of a stream mapped by attribute, piece by
// piece, since its clusters may lie apart.
inline bool PlaceThrough(TestVolume& v, const AttributeRecord& attribute, std::uint64_t at,
                         const Bytes& bytes) {
  const std::uint32_t cs = v.volume.geometry.clusterSize;
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
// runs are given) and opens the image through OpenVolume. Record N carries N at 0x2C; records
// given in `records` (already protected) replace the empty ones.
inline bool LayOutMft(TestVolume& v, std::uint32_t recordCount, Bytes runs = {},
                      const std::map<std::uint32_t, Bytes>& records = {}) {
  const VolumeGeometry& g = v.volume.geometry;
  const std::uint64_t bytes = std::uint64_t{recordCount} * g.recordSize;
  const std::uint64_t clusters = (bytes + g.clusterSize - 1) / g.clusterSize;
  if (runs.empty()) {
    runs = BytesOf({0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Put32(runs, 1, clusters);
    Put32(runs, 5, g.mftStartLcn);
  }
  NonResidentLayout data{.runs = runs,
                         .lastVcn = clusters - 1,
                         .allocatedSize = clusters * g.clusterSize,
                         .dataSize = bytes};
  Bytes mftRecord = MakeFileRecord({NonResidentAttribute(data)}, {.size = g.recordSize});
  Bytes unprotected = mftRecord;
  if (!ApplyFixups(unprotected)) return false;
  auto attribute = FindAttribute(unprotected, kDataType);
  if (!attribute) return false;
  for (std::uint32_t n = 0; n < recordCount; ++n) {
    auto given = records.find(n);
    Bytes record = given != records.end() ? given->second
                   : n == 0               ? mftRecord
                            : MakeFileRecord({}, {.size = g.recordSize, .recordNumber = n});
    if (!PlaceThrough(v, *attribute, std::uint64_t{n} * g.recordSize, record)) return false;
  }
  return v.Open();
}

// Serves image as "\\.\<drive>:" and opens it through OpenVolume, as the
// run driver does. Returns false when OpenVolume refuses it. The handle
// stays open for the context's use until the platform goes; the opening's
// own reads are cleared from platform.reads.
inline bool OpenTestVolume(FakePlatform& platform, Bytes image, VolumeContext& volume,
                           char drive = 'X') {
  const std::string device = std::string("\\\\.\\") + drive + ":";
  platform.files[device] = std::move(image);
  OpenVolumeResult opened = OpenVolume(platform, device);
  platform.reads.clear();
  if (!opened.volume) return false;
  opened.volume->handle.Release();
  volume = std::move(opened.volume->context);
  return true;
}

}  // namespace sondrel::test
