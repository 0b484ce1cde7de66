// A non-resident attribute as hostile input: run-list decoding, MapVcn, and
// ReadStreamVcnRange / ReadStreamValue of the attribute as a stream of one
// piece over a fake volume of known bytes.
//
// Input: byte 0 picks the cluster size (512 << (b & 3)), bytes 1..8 the first
// VCN asked for, bytes 9..10 the cluster count (at most 64), and the rest is
// the attribute, placed in a 1024-byte FILE record before the end marker.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ntfs/DataRun.h"
#include "ntfs/DataStream.h"
#include "ntfs/FileRecord.h"
#include "ntfs/LittleEndianReader.h"
#include "ntfs/VolumeContext.h"
#include "platform/FakePlatform.h"

namespace {

constexpr std::size_t kRecordSize = 1024;
constexpr std::size_t kFirstAttribute = 0x38;
constexpr std::size_t kVolumeBytes = 1 << 20;
constexpr std::uint32_t kMaxClusters = 64;
// What the harness lets a whole-value read have; the value itself may claim 4 GiB.
constexpr std::uint32_t kMaxValueBytes = 256 * 1024;

void Put16(std::vector<std::byte>& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::byte>(value & 0xFF);
  bytes[offset + 1] = static_cast<std::byte>(value >> 8);
}

std::vector<std::byte> MakeRecord(std::span<const std::byte> attribute) {
  std::vector<std::byte> record(kRecordSize);
  const char magic[] = "FILE";
  for (std::size_t i = 0; i < 4; ++i) record[i] = static_cast<std::byte>(magic[i]);
  Put16(record, 0x04, 0x30);  // update sequence array at 0x30 ...
  Put16(record, 0x06, 0);     // ... with no entries: nothing to restore
  Put16(record, 0x14, kFirstAttribute);
  Put16(record, 0x16, 0x0001);
  std::size_t room = kRecordSize - kFirstAttribute - 8;
  std::size_t length = std::min(attribute.size(), room);
  std::copy_n(attribute.begin(), length, record.begin() + kFirstAttribute);
  for (std::size_t i = 0; i < 4; ++i) record[kFirstAttribute + length + i] = std::byte{0xFF};
  return record;
}

struct Harness {
  sondrel::FakePlatform platform;
  sondrel::VolumeContext volume;

  Harness() {
    std::vector<std::byte> image(kVolumeBytes);
    for (std::size_t i = 0; i < image.size(); ++i) {
      image[i] = static_cast<std::byte>((i / 512) * 7 + i);
    }
    platform.files["\\\\.\\F:"] = std::move(image);
    volume.platform = &platform;
    volume.volumeHandle = platform.CreateFileA("\\\\.\\F:", sondrel::kGenericRead,
                                               sondrel::kFileShareRead, sondrel::kOpenExisting);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  std::vector<std::byte> input(size);
  for (std::size_t i = 0; i < size; ++i) input[i] = static_cast<std::byte>(data[i]);
  sondrel::LittleEndianReader reader(input);
  if (size < 11) return 0;

  sondrel::VolumeContext& volume = harness.volume;
  volume.geometry.bytesPerSector = 512;
  volume.geometry.sectorsPerCluster = 1u << (*reader.U8(0) & 3);
  volume.geometry.clusterSize = 512 * volume.geometry.sectorsPerCluster;
  volume.geometry.clustersPerRecord = 0xF6;
  volume.geometry.recordSize = kRecordSize;
  harness.platform.reads.clear();

  std::uint64_t firstVcn = *reader.U64(1);
  std::uint32_t count = std::min<std::uint32_t>(*reader.U16(9), kMaxClusters);
  std::vector<std::byte> record = MakeRecord(std::span(input).subspan(11));
  std::uint32_t type = reader.U32(11).value_or(sondrel::kDataType);
  auto attribute = sondrel::FindAttribute(record, type);
  if (!attribute || attribute->IsResident()) {
    if (attribute) {
      std::vector<std::byte> value(std::min(sondrel::AttributeAllocatedSize(*attribute),
                                            kMaxValueBytes));
      (void)sondrel::ReadStreamValue(volume, sondrel::DataStream::Of(*attribute), value);
    }
    return 0;
  }

  const sondrel::AttributeHeader& header = attribute->header;
  for (std::uint64_t vcn : {firstVcn, header.startVcn, header.lastVcn, header.lastVcn + 1}) {
    if (auto mapping = sondrel::MapVcn(*attribute, vcn)) {
      if (mapping->clustersLeft == 0) __builtin_trap();  // a read loop that cannot advance
    }
  }

  const sondrel::DataStream stream = sondrel::DataStream::Of(*attribute);
  std::vector<std::byte> range(std::size_t{count} * volume.geometry.clusterSize);
  (void)sondrel::ReadStreamVcnRange(volume, stream, firstVcn, count, range);
  // A destination shorter than the range asks for: must get only what fits.
  std::vector<std::byte> shorter(range.size() / 2 + 1);
  (void)sondrel::ReadStreamVcnRange(volume, stream, firstVcn, count, shorter);

  std::vector<std::byte> value(std::min(sondrel::AttributeAllocatedSize(*attribute),
                                        kMaxValueBytes));
  (void)sondrel::ReadStreamValue(volume, stream, value);
  return 0;
}
