// File records for tests, built from the bytes a test cares about: the
// attributes (resident or non-resident, with their run lists), $FILE_NAME and
// $ATTRIBUTE_LIST values, and the record header around them. Everything a
// test does not state keeps a plain default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ntfs/FileRecord.h"
#include "support/Bytes.h"

// Tests build layouts with designated initializers naming only the fields
// that matter; the rest keep their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace sondrel::test {

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
      while (n < 8 &&
             !(s >= -(std::int64_t{1} << (8 * n - 1)) && s < (std::int64_t{1} << (8 * n - 1))))
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
    Put8(out, at, (offsetSize << 4) | lengthSize);
    PutLe(out, at + 1, length, lengthSize);
    if (!sparse) {
      PutLe(out, at + 1 + lengthSize, delta, offsetSize);
      previousLcn = lcn;
    }
  }
  out.push_back(std::byte{0});
  return out;
}

// A resident attribute: header, name right after it, value after the name.
inline Bytes ResidentAttribute(std::uint32_t type, const Bytes& value,
                               std::u16string_view name = u"") {
  const std::size_t nameOffset = 0x18;
  const std::size_t valueOffset = Align8(nameOffset + 2 * name.size());
  Bytes a(Align8(valueOffset + value.size()));
  Put32(a, 0x00, type);
  Put32(a, 0x04, a.size());
  Put8(a, 0x08, 0);
  Put8(a, 0x09, name.size());
  Put16(a, 0x0A, nameOffset);
  Put32(a, 0x10, value.size());
  Put16(a, 0x14, valueOffset);
  PutBytes(a, nameOffset, Utf16Bytes(name));
  PutBytes(a, valueOffset, value);
  return a;
}

struct NonResidentLayout {
  std::uint32_t type = kDataType;
  Bytes runs;  // the run list, end marker included
  std::uint64_t startVcn = 0;
  std::uint64_t lastVcn = 0;
  std::uint64_t allocatedSize = 0;
  std::uint64_t dataSize = 0;  // initialized size too
  std::u16string name;
};

inline Bytes NonResidentAttribute(const NonResidentLayout& layout) {
  const std::size_t nameOffset = 0x40;
  const std::size_t runsOffset = Align8(nameOffset + 2 * layout.name.size());
  Bytes a(Align8(runsOffset + layout.runs.size()));
  Put32(a, 0x00, layout.type);
  Put32(a, 0x04, a.size());
  Put8(a, 0x08, 1);
  Put8(a, 0x09, layout.name.size());
  Put16(a, 0x0A, nameOffset);
  Put64(a, 0x10, layout.startVcn);
  Put64(a, 0x18, layout.lastVcn);
  Put16(a, 0x20, runsOffset);
  Put64(a, 0x28, layout.allocatedSize);
  Put64(a, 0x30, layout.dataSize);
  Put64(a, 0x38, layout.dataSize);
  PutBytes(a, nameOffset, Utf16Bytes(layout.name));
  PutBytes(a, runsOffset, layout.runs);
  return a;
}

// A $FILE_NAME value: parent reference, sizes, name length, namespace
// (1, the long name, unless stated) and the name.
inline Bytes FileNameValueBytes(std::uint64_t parentReference, std::u16string_view name,
                                std::uint64_t realSize = 0, std::uint8_t nameSpace = 1) {
  Bytes value(0x42 + 2 * name.size());
  Put64(value, 0x00, parentReference);
  Put64(value, 0x28, realSize);  // allocated size, for realism
  Put64(value, 0x30, realSize);
  Put8(value, 0x40, name.size());
  Put8(value, 0x41, nameSpace);
  PutBytes(value, 0x42, Utf16Bytes(name));
  return value;
}

// One entry of an $ATTRIBUTE_LIST value (its attribute id left 0).
struct ListEntryLayout {
  std::uint32_t type = 0;
  std::uint64_t startVcn = 0;
  std::uint64_t reference = 0;  // file reference of the record that holds the attribute
  std::u16string name;
};

inline Bytes AttributeListValue(const std::vector<ListEntryLayout>& entries) {
  Bytes value;
  for (const ListEntryLayout& e : entries) {
    Bytes b(Align8(0x1A + 2 * e.name.size()));
    Put32(b, 0x00, e.type);
    Put16(b, 0x04, b.size());
    Put8(b, 0x06, e.name.size());
    Put8(b, 0x07, 0x1A);
    Put64(b, 0x08, e.startVcn);
    Put64(b, 0x10, e.reference);
    PutBytes(b, 0x1A, Utf16Bytes(e.name));
    PutBytes(value, value.size(), b);
  }
  return value;
}

struct RecordOptions {
  std::uint32_t size = 1024;
  std::uint16_t flags = kRecordInUse;
  std::uint64_t baseReference = 0;
  std::uint32_t recordNumber = 0;  // kept at 0x2C, as NTFS 3.1 does
  bool protect = true;             // write the update sequence into the strides
  std::uint32_t magic = kFileMagic;
};

// The update sequence number every built record carries.
inline constexpr std::uint16_t kUpdateSequenceNumber = 0x0BAD;

// A FILE record with the attributes in order, the end marker, and (when
// protect) the update sequence array written over the stride ends. Throws
// when the attributes do not fit.
inline Bytes MakeFileRecord(const std::vector<Bytes>& attributes, RecordOptions options = {}) {
  Bytes r(options.size);
  const std::size_t usaOffset = 0x30;
  const std::size_t usaCount = options.size / 512 + 1;
  const std::size_t first = Align8(usaOffset + 2 * usaCount);
  std::size_t used = first + 8;
  for (const Bytes& a : attributes) used += a.size();
  if (used > options.size) throw std::length_error("attributes do not fit in the record");
  Put32(r, 0x00, options.magic);
  Put16(r, 0x04, usaOffset);
  Put16(r, 0x06, usaCount);
  Put16(r, 0x10, 1);  // sequence number
  Put16(r, 0x12, 1);  // link count
  Put16(r, 0x14, first);
  Put16(r, 0x16, options.flags);
  Put32(r, 0x18, used);
  Put32(r, 0x1C, options.size);
  Put64(r, 0x20, options.baseReference);
  Put16(r, 0x28, attributes.size());  // next attribute id
  Put32(r, 0x2C, options.recordNumber);
  std::size_t at = first;
  for (const Bytes& a : attributes) {
    PutBytes(r, at, a);
    at += a.size();
  }
  Put32(r, at, kAttributeEndMarker);
  if (options.protect) {
    Put16(r, usaOffset, kUpdateSequenceNumber);
    for (std::size_t i = 1; i < usaCount; ++i) {
      r[usaOffset + 2 * i] = r[512 * i - 2];
      r[usaOffset + 2 * i + 1] = r[512 * i - 1];
      Put16(r, 512 * i - 2, kUpdateSequenceNumber);
    }
  }
  return r;
}

// The attributes of one record, stated a line at a time where a test (or an
// image builder) fills records by number; Build lays them out with
// MakeFileRecord.
class RecordBuilder {
 public:
  RecordBuilder& Flags(std::uint16_t flags) {
    options_.flags = flags;
    return *this;
  }
  RecordBuilder& BaseReference(std::uint64_t reference) {
    options_.baseReference = reference;
    return *this;
  }
  RecordBuilder& Magic(std::uint32_t magic) {
    options_.magic = magic;
    return *this;
  }
  RecordBuilder& Resident(std::uint32_t type, const Bytes& value, std::u16string_view name = u"") {
    attributes_.push_back(ResidentAttribute(type, value, name));
    return *this;
  }
  RecordBuilder& NonResident(const NonResidentLayout& layout) {
    attributes_.push_back(NonResidentAttribute(layout));
    return *this;
  }
  RecordBuilder& FileName(std::uint64_t parentReference, std::u16string_view name,
                          std::uint64_t realSize = 0, std::uint8_t nameSpace = 1) {
    return Resident(kFileNameType, FileNameValueBytes(parentReference, name, realSize, nameSpace));
  }

  // The record as it lies on the volume.
  Bytes Build(std::uint32_t recordSize, std::uint32_t recordNumber) const {
    RecordOptions options = options_;
    options.size = recordSize;
    options.recordNumber = recordNumber;
    return MakeFileRecord(attributes_, options);
  }

 private:
  RecordOptions options_;
  std::vector<Bytes> attributes_;
};

}  // namespace sondrel::test
