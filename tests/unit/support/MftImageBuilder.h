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
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sondrel::test {

using Bytes = std::vector<std::byte>;

inline void PutU8(Bytes& b, std::size_t at, std::uint64_t v) { b.at(at) = std::byte(v & 0xFF); }
inline void PutLe(Bytes& b, std::size_t at, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) PutU8(b, at + i, v >> (8 * i));
}
inline void PutU16(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 2); }
inline void PutU32(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 4); }
inline void PutU64(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 8); }
inline void PutUtf16(Bytes& b, std::size_t at, std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) PutU16(b, at + 2 * i, text[i]);
}
inline std::size_t Align8(std::size_t n) { return (n + 7) / 8 * 8; }

// A file reference: record number in the low 48 bits, sequence number above.
inline std::uint64_t FileReference(std::uint64_t record, std::uint16_t sequence = 1) {
  return (record & 0xFFFFFFFFFFFFull) | (std::uint64_t{sequence} << 48);
}

// Mapping pairs for runs of (length in clusters, LCN); an LCN of 0 after the
// first run makes a sparse run. Ends with the 0 header byte.
inline Bytes EncodeRuns(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs) {
  Bytes out;
  auto bytesFor = [](std::uint64_t v, bool isSigned) {
    std::size_t n = 1;
    if (isSigned) {
      auto s = static_cast<std::int64_t>(v);
      while (n < 8 && !(s >= -(std::int64_t{1} << (8 * n - 1)) &&
                        s < (std::int64_t{1} << (8 * n - 1))))
        ++n;
    } else {
      while (n < 8 && (v >> (8 * n)) != 0) ++n;
    }
    return n;
  };
  std::uint64_t previousLcn = 0;
  for (auto [length, lcn] : runs) {
    std::size_t lengthSize = bytesFor(length, false);
    bool sparse = lcn == 0 && !out.empty();
    std::uint64_t delta = lcn - previousLcn;
    std::size_t offsetSize = sparse ? 0 : bytesFor(delta, true);
    std::size_t at = out.size();
    out.resize(at + 1 + lengthSize + offsetSize);
    PutU8(out, at, (offsetSize << 4) | lengthSize);
    PutLe(out, at + 1, length, lengthSize);
    if (!sparse) {
      PutLe(out, at + 1 + lengthSize, delta, offsetSize);
      previousLcn = lcn;
    }
  }
  out.push_back(std::byte{0});
  return out;
}

// The value of a $FILE_NAME attribute.
inline Bytes MakeFileNameValue(std::uint64_t parentReference, std::u16string_view name,
                               std::uint64_t realSize = 0, std::uint8_t nameSpace = 1) {
  Bytes value(0x42 + 2 * name.size());
  PutU64(value, 0x00, parentReference);
  PutU64(value, 0x28, realSize);  // allocated size, for realism
  PutU64(value, 0x30, realSize);
  PutU8(value, 0x40, name.size());
  PutU8(value, 0x41, nameSpace);
  PutUtf16(value, 0x42, name);
  return value;
}

// One entry of an $ATTRIBUTE_LIST value.
struct AttributeListEntry {
  std::uint32_t typeCode = 0;
  std::uint64_t startVcn = 0;
  std::uint64_t segmentReference = 0;  // file reference of the record that holds the attribute
  std::uint16_t attributeId = 0;
  std::u16string name;
};
inline Bytes MakeAttributeListValue(const std::vector<AttributeListEntry>& entries) {
  Bytes value;
  for (const AttributeListEntry& e : entries) {
    std::size_t length = Align8(0x1A + 2 * e.name.size());
    std::size_t at = value.size();
    value.resize(at + length);
    PutU32(value, at + 0x00, e.typeCode);
    PutU16(value, at + 0x04, length);
    PutU8(value, at + 0x06, e.name.size());
    PutU8(value, at + 0x07, 0x1A);
    PutU64(value, at + 0x08, e.startVcn);
    PutU64(value, at + 0x10, e.segmentReference);
    PutU16(value, at + 0x18, e.attributeId);
    PutUtf16(value, at + 0x1A, e.name);
  }
  return value;
}

// One FILE record: header, attributes in the order added, end marker, and
// the update sequence array applied (stride ends hold the sequence number).
class RecordBuilder {
 public:
  static constexpr std::uint16_t kUpdateSequenceNumber = 0x0A0B;

  RecordBuilder& Flags(std::uint16_t flags) {
    flags_ = flags;
    return *this;
  }
  RecordBuilder& BaseReference(std::uint64_t reference) {
    baseReference_ = reference;
    return *this;
  }
  RecordBuilder& Magic(std::uint32_t magic) {
    magic_ = magic;
    return *this;
  }

  RecordBuilder& Resident(std::uint32_t type, const Bytes& value, std::u16string_view name = u"") {
    std::size_t nameOffset = 0x18;
    std::size_t valueOffset = Align8(nameOffset + 2 * name.size());
    Bytes a(Align8(valueOffset + value.size()));
    Header(a, type, 0, name, nameOffset);
    PutU32(a, 0x10, value.size());
    PutU16(a, 0x14, valueOffset);
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueOffset));
    attributes_.push_back(std::move(a));
    return *this;
  }

  RecordBuilder& NonResident(std::uint32_t type, const Bytes& runs, std::uint64_t startVcn,
                             std::uint64_t lastVcn, std::uint64_t allocatedSize,
                             std::uint64_t dataSize, std::u16string_view name = u"") {
    std::size_t nameOffset = 0x40;
    std::size_t runsOffset = Align8(nameOffset + 2 * name.size());
    Bytes a(Align8(runsOffset + runs.size()));
    Header(a, type, 1, name, nameOffset);
    PutU64(a, 0x10, startVcn);
    PutU64(a, 0x18, lastVcn);
    PutU16(a, 0x20, runsOffset);
    PutU64(a, 0x28, allocatedSize);
    PutU64(a, 0x30, dataSize);
    PutU64(a, 0x38, dataSize);
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(runsOffset));
    attributes_.push_back(std::move(a));
    return *this;
  }

  RecordBuilder& FileName(std::uint64_t parentReference, std::u16string_view name,
                          std::uint64_t realSize = 0, std::uint8_t nameSpace = 1) {
    return Resident(0x30, MakeFileNameValue(parentReference, name, realSize, nameSpace));
  }

  // The record as it lies on the volume.
  Bytes Build(std::uint32_t recordSize, std::uint32_t recordNumber) const {
    Bytes r(recordSize);
    const std::size_t strides = recordSize / 512;
    const std::size_t usaOffset = 0x30;
    const std::size_t usaCount = strides + 1;
    std::size_t at = Align8(usaOffset + 2 * usaCount);
    PutU32(r, 0x00, magic_);
    PutU16(r, 0x04, usaOffset);
    PutU16(r, 0x06, usaCount);
    PutU16(r, 0x10, 1);  // sequence number
    PutU16(r, 0x12, 1);  // link count
    PutU16(r, 0x14, at);
    PutU16(r, 0x16, flags_);
    PutU32(r, 0x1C, recordSize);
    PutU64(r, 0x20, baseReference_);
    PutU16(r, 0x28, attributes_.size());
    PutU32(r, 0x2C, recordNumber);
    std::size_t used = at + 8;
    for (const Bytes& a : attributes_) used += a.size();
    if (used > recordSize) throw std::length_error("attributes do not fit in the record");
    for (const Bytes& a : attributes_) {
      std::copy(a.begin(), a.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
      at += a.size();
    }
    PutU32(r, at, 0xFFFFFFFF);
    PutU32(r, 0x18, at + 8);  // bytes in use
    PutU16(r, usaOffset, kUpdateSequenceNumber);
    for (std::size_t i = 1; i <= strides; ++i) {
      std::size_t end = 512 * i - 2;
      r[usaOffset + 2 * i] = r[end];
      r[usaOffset + 2 * i + 1] = r[end + 1];
      PutU16(r, end, kUpdateSequenceNumber);
    }
    return r;
  }

 private:
  void Header(Bytes& a, std::uint32_t type, std::uint8_t nonResident, std::u16string_view name,
              std::size_t nameOffset) {
    PutU32(a, 0x00, type);
    PutU32(a, 0x04, a.size());
    PutU8(a, 0x08, nonResident);
    PutU8(a, 0x09, name.size());
    PutU16(a, 0x0A, name.empty() ? 0 : nameOffset);
    PutU16(a, 0x0E, attributes_.size());  // attribute id
    PutUtf16(a, nameOffset, name);
  }

  std::uint32_t magic_ = 0x454C4946;  // "FILE"
  std::uint16_t flags_ = 0x0001;      // in use
  std::uint64_t baseReference_ = 0;
  std::vector<Bytes> attributes_;
};

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

    PutU8(image, 0x00, 0xEB);
    PutU8(image, 0x01, 0x52);
    PutU8(image, 0x02, 0x90);
    const char oem[] = "NTFS    ";
    for (std::size_t i = 0; i < 8; ++i) PutU8(image, 3 + i, static_cast<unsigned char>(oem[i]));
    PutU16(image, 0x0B, bytesPerSector);
    PutU8(image, 0x0D, sectorsPerCluster);
    PutU8(image, 0x15, 0xF8);
    PutU64(image, 0x28, totalSectors.value_or(image.size() / bytesPerSector));
    PutU64(image, 0x30, mftStartLcn);
    PutU64(image, 0x38, mftEnd);
    PutU8(image, 0x40, RecordSizeCode());
    PutU8(image, 0x44, 1);
    PutU16(image, 0x1FE, 0xAA55);

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
      record.NonResident(0x80, EncodeRuns(MftRuns()), 0, clusters - 1, clusters * ClusterSize(),
                         mftDataSize.value_or(std::uint64_t{recordCount} * recordSize));
    }
    if (mftHasBitmap) {
      Bytes bitmap = Bitmap();
      if (bitmap.size() <= recordSize / 2) {
        record.Resident(0xB0, bitmap);
      } else {
        std::uint64_t size = bitmap.size();
        std::uint64_t clusters = (size + ClusterSize() - 1) / ClusterSize();
        std::uint64_t lcn = PlaceData(std::move(bitmap));
        record.NonResident(0xB0, EncodeRuns({{clusters, lcn}}), 0, clusters - 1,
                           clusters * ClusterSize(), size);
      }
    }
    return record;
  }

  std::map<std::uint32_t, RecordBuilder> records_;
  std::vector<std::pair<std::uint64_t, Bytes>> data_;
  std::uint64_t nextDataLcn_ = 0;
};

}  // namespace sondrel::test
