// Small hand-built NTFS images for tests: a boot sector, an $MFT whose own
// record maps it with $DATA runs and marks records with $BITMAP, and file
// records holding whatever attributes a test states. Only the bytes the tool
// reads are laid out; everything else stays zero.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "support/BootSectorBuilder.h"
#include "support/Bytes.h"
#include "support/FileRecordBuilder.h"

namespace sondrel::test {

// A volume image: boot sector in cluster 0, the $MFT from mftStartLcn on
// (optionally in two fragments), data blocks after it. Record 0 ($MFT) is
// made from the options unless a test sets Record(0) itself; every record a
// test sets is marked in use in the $MFT's $BITMAP unless bits say otherwise.
class MftImageBuilder {
 public:
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8;  // 4096-byte clusters
  std::uint32_t recordSize = 1024;     // boot sector 0x40 holds -10
  std::uint32_t recordCount = 32;
  std::uint64_t mftStartLcn = 4;
  // When nonzero, the $MFT's clusters from this VCN on lie in a second run,
  // two clusters after the first one ends.
  std::uint64_t mftSplitVcn = 0;

  // Record 0's unnamed $BITMAP and $DATA, and what they claim.
  bool mftHasBitmap = true;
  bool mftHasData = true;
  std::optional<Bytes> bitmapOverride;          // the $BITMAP value as given
  std::optional<std::uint64_t> mftDataSize;     // else recordCount * recordSize
  std::optional<std::uint64_t> totalSectors;    // else the image's sectors
  std::map<std::uint32_t, bool> bits;           // bitmap bits set or cleared by hand

  std::uint32_t ClusterSize() const { return std::uint32_t{bytesPerSector} * sectorsPerCluster; }
  std::uint64_t MftClusters() const {
    std::uint64_t bytes = std::uint64_t{recordCount} * recordSize;
    return (bytes + ClusterSize() - 1) / ClusterSize();
  }

  RecordBuilder& Record(std::uint32_t number) { return records_[number]; }

  // Places data after the $MFT (set the geometry first); returns its LCN.
  std::uint64_t PlaceData(Bytes data) {
    std::uint64_t lcn = std::max(nextDataLcn_, MftEnd() + 2);
    std::uint64_t clusters = (data.size() + ClusterSize() - 1) / ClusterSize();
    nextDataLcn_ = lcn + std::max<std::uint64_t>(clusters, 1);
    data_.emplace_back(lcn, std::move(data));
    return lcn;
  }

  // The (length, LCN) runs of the $MFT's data.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> MftRuns() const {
    std::uint64_t clusters = MftClusters();
    if (mftSplitVcn == 0 || mftSplitVcn >= clusters) return {{clusters, mftStartLcn}};
    return {{mftSplitVcn, mftStartLcn},
            {clusters - mftSplitVcn, mftStartLcn + mftSplitVcn + 2}};
  }

  Bytes Build() {
    if (records_.find(0) == records_.end()) records_[0] = MftSelfRecord();
    const std::uint64_t clusterSize = ClusterSize();
    const std::uint64_t mftEnd = MftEnd();
    std::uint64_t clusters = std::max(nextDataLcn_, mftEnd + 2);
    for (auto& [lcn, data] : data_) {
      clusters = std::max(clusters, lcn + (data.size() + clusterSize - 1) / clusterSize + 1);
    }
    Bytes image(clusters * clusterSize);

    PutBytes(image, 0,
             MakeBootSector({.bytesPerSector = bytesPerSector,
                             .sectorsPerCluster = sectorsPerCluster,
                             .mftStartLcn = mftStartLcn,
                             .clustersPerRecord = RecordSizeCode(),
                             .totalSectors = totalSectors.value_or(image.size() / bytesPerSector),
                             .mftMirrorLcn = mftEnd}));

    Bytes mft(MftClusters() * clusterSize);
    for (auto& [number, record] : records_) {
      if (number >= recordCount) continue;
      Bytes built = record.Build(recordSize, number);
      std::copy(built.begin(), built.end(),
                mft.begin() + static_cast<std::ptrdiff_t>(std::uint64_t{number} * recordSize));
    }
    std::uint64_t vcn = 0;
    for (auto [length, lcn] : MftRuns()) {
      std::copy_n(mft.begin() + static_cast<std::ptrdiff_t>(vcn * clusterSize),
                  length * clusterSize,
                  image.begin() + static_cast<std::ptrdiff_t>(lcn * clusterSize));
      vcn += length;
    }
    for (auto& [lcn, data] : data_) {
      std::copy(data.begin(), data.end(),
                image.begin() + static_cast<std::ptrdiff_t>(lcn * clusterSize));
    }
    return image;
  }

 private:
  std::uint64_t MftEnd() const {
    std::uint64_t end = 0;
    for (auto [length, lcn] : MftRuns()) end = std::max(end, lcn + length);
    return end;
  }

  std::uint8_t RecordSizeCode() const {
    if (recordSize >= ClusterSize()) return static_cast<std::uint8_t>(recordSize / ClusterSize());
    std::uint8_t shift = 0;
    while ((1u << shift) < recordSize) ++shift;
    return static_cast<std::uint8_t>(256 - shift);
  }

  Bytes Bitmap() const {
    if (bitmapOverride) return *bitmapOverride;
    Bytes bitmap(Align8((recordCount + 7) / 8));
    auto set = [&](std::uint32_t n, bool on) {
      if (n / 8 >= bitmap.size()) return;
      auto mask = static_cast<unsigned char>(1u << (n % 8));
      auto byte = std::to_integer<unsigned char>(bitmap[n / 8]);
      bitmap[n / 8] = std::byte(on ? (byte | mask) : (byte & ~mask));
    };
    set(0, true);
    for (auto& [number, record] : records_) set(number, true);
    for (auto [number, on] : bits) set(number, on);
    return bitmap;
  }

  // A bitmap too large to stay in the record goes to clusters of its own.
  RecordBuilder MftSelfRecord() {
    RecordBuilder record;
    record.FileName(FileReference(5, 5), u"$MFT", std::uint64_t{recordCount} * recordSize);
    if (mftHasData) {
      std::uint64_t clusters = MftClusters();
      record.NonResident(
          {.runs = EncodeRuns(MftRuns()),
           .lastVcn = clusters - 1,
           .allocatedSize = clusters * ClusterSize(),
           .dataSize = mftDataSize.value_or(std::uint64_t{recordCount} * recordSize)});
    }
    if (mftHasBitmap) {
      Bytes bitmap = Bitmap();
      if (bitmap.size() <= recordSize / 2) {
        record.Resident(kBitmapType, bitmap);
      } else {
        std::uint64_t size = bitmap.size();
        std::uint64_t clusters = (size + ClusterSize() - 1) / ClusterSize();
        std::uint64_t lcn = PlaceData(std::move(bitmap));
        record.NonResident({.type = kBitmapType,
                            .runs = EncodeRuns({{clusters, lcn}}),
                            .lastVcn = clusters - 1,
                            .allocatedSize = clusters * ClusterSize(),
                            .dataSize = size});
      }
    }
    return record;
  }

  std::map<std::uint32_t, RecordBuilder> records_;
  std::vector<std::pair<std::uint64_t, Bytes>> data_;
  std::uint64_t nextDataLcn_ = 0;
};

}  // namespace sondrel::test
