#include "scan/MftScan.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "names/DirectoryView.h"
#include "names/FileNameConversion.h"
#include "names/PathBuilder.h"
#include "ntfs/AttributeList.h"
#include "ntfs/DataRun.h"
#include "ntfs/DataStream.h"
#include "ntfs/ExtensionRecord.h"
#include "ntfs/FileRecord.h"
#include "ntfs/FileReference.h"
#include "ntfs/MftChunkReader.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/RecordFileName.h"
#include "scan/PrintablePath.h"
#include "scan/SystemMetadata.h"

namespace sondrel {
namespace {

constexpr char kRuleLine[] =
    "-------------------------------------------------------------------------------\n";
// The records the $MFT's $DATA holds, counted from its full 64-bit size so
// an $MFT of 4 GiB or more is walked whole, but never more than the volume
// can hold (VolumeSize: the boot sector and the device's own length), so a
// damaged size cannot make the scan walk billions of numbers.
std::uint32_t CountRecords(const VolumeContext& volume, const DataStream& mftData) {
  const std::uint32_t recordSize = volume.geometry.recordSize;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(
      {mftData.ValueSize() / recordSize, VolumeSize(volume) / recordSize,
       std::numeric_limits<std::uint32_t>::max()}));
}

// The bitmap copy: the bytes that cover count records, never more than the
// attribute holds, rounded up to whole clusters for the reads. Pieces of the
// bitmap that live in extension records are read too.
std::vector<std::byte> ReadMftBitmap(const VolumeContext& volume, const DataStream& bitmap,
                                     std::uint32_t count) {
  std::uint64_t wanted = (std::uint64_t{count} + 7) / 8;
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  if (clusterSize != 0) wanted = (wanted + clusterSize - 1) / clusterSize * clusterSize;
  std::uint64_t size = std::min<std::uint64_t>(wanted, bitmap.AllocatedSize());
  std::vector<std::byte> copy(static_cast<std::size_t>(size));
  ReadStreamValue(volume, bitmap, copy);
  return copy;
}

// "%8lu" of a record number or size: at least 8 columns, right-aligned.
void AppendNumber(std::string& line, std::uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (count < 8) line.append(static_cast<std::size_t>(8 - count), ' ');
  while (count > 0) line.push_back(digits[--count]);
}

// The file line "%8lu %8lu       %s\n" or the directory line
// "%8lu %8lu <DIR> %s\n", formatted by hand: printf costs more than the rest
// of a record's handling. The path is printed with its control characters as
// '^' (a name ends at its first U+0000, so no zero byte reaches it).
void AppendRecordLine(std::string& line, std::uint32_t record, std::uint32_t size,
                      bool isDirectory, std::string_view path, std::uint32_t codePage) {
  line.clear();
  AppendNumber(line, record);
  line.push_back(' ');
  AppendNumber(line, size);
  line.append(isDirectory ? " <DIR> " : "       ");
  AppendPrintablePath(line, path, codePage);
  line.push_back('\n');
}

// Filter: a record that is in use or a directory and is not an extension
// record. An extension record holds more attributes of the file its base
// record lists; the file is listed once, under the base record's number. A
// record that only claims a base, which the base's $ATTRIBUTE_LIST does not
// confirm, is listed as its own record: the claim cannot hide it.
std::optional<FileRecordHeader> ScannedHeader(std::span<const std::byte> record,
                                              std::uint32_t n, ExtensionRecords& extensions) {
  if (!HasFileMagic(record)) return std::nullopt;
  std::optional<FileRecordHeader> header = ReadFileRecordHeader(record);
  if (!header || (header->recordFlags & (kRecordInUse | kRecordIsDirectory)) == 0) {
    return std::nullopt;
  }
  if (header->baseFileReference != 0 && extensions.IsConfirmed(n, header->baseFileReference)) {
    return std::nullopt;
  }
  return header;
}

// Size: the low 32 bits of the $FILE_NAME's size; for a file whose size so
// read is not positive as a signed number, what the file API gives for it. A
// directory keeps its $FILE_NAME size.
std::uint32_t ReportedSize(DirectoryView& view, const FileNameValue& fileName, bool isDirectory,
                           std::uint32_t record, std::u16string_view pairedLongName) {
  const auto size = static_cast<std::uint32_t>(fileName.realSize);
  const bool notPositive = size == 0 || size >= 0x80000000u;
  if (!notPositive || isDirectory) return size;
  return view.QueryWin32FileSize(ParentRecordOf(fileName.parentReference), fileName.fileName,
                                 record, pairedLongName);
}

// A record the first look did not find in the view, held until it is looked
// at again: a few bytes, however long its path (its line is made again when
// it is printed).
struct Candidate {
  std::uint32_t record = 0;
  std::uint32_t parent = 0;
  std::uint32_t size = 0;
  bool isDirectory = false;
  std::uint64_t nameHash = 0;  // of its name as stored, to tell a rename
};

// The most candidates held at once. Past it the held ones are looked at again
// and printed then, so a volume of millions of unlisted records costs a bounded
// amount of memory; lines still come out in record order.
constexpr std::size_t kMaxHeldCandidates = std::size_t{1} << 20;

std::uint64_t NameHash(std::u16string_view name) {
  std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a, unit by unit
  for (char16_t unit : name) {
    hash = (hash ^ unit) * 0x100000001B3ull;
  }
  return hash;
}

// A live system changes while it is scanned: a file created after its
// directory was listed, or deleted after its record was read, would be
// reported. Each directory holding candidates is listed afresh (once) and
// each candidate's record read again; a candidate is printed only when it is
// still in use under the same name in the same directory and the fresh
// listing still does not show it.
class CandidateReport {
 public:
  CandidateReport(const VolumeContext& volume, PathBuilder& paths, DirectoryView& view,
                  ExtensionRecords& extensions, std::uint32_t codePage, std::FILE* out)
      : volume_(volume),
        paths_(paths),
        view_(view),
        extensions_(extensions),
        codePage_(codePage),
        out_(out),
        record_(volume.geometry.recordSize) {}

  void Hold(const Candidate& candidate) {
    held_.push_back(candidate);
    if (held_.size() >= kMaxHeldCandidates) Confirm();
  }

  // Looks again at every candidate held and prints those still hidden.
  void Confirm() {
    std::unordered_set<std::uint32_t> relisted;
    for (const Candidate& candidate : held_) {
      if (relisted.insert(candidate.parent).second) view_.Relist(candidate.parent);
      if (StillHidden(candidate)) ++reported_;
    }
    held_.clear();
  }

  std::uint32_t reported() const { return reported_; }

 private:
  bool StillHidden(const Candidate& candidate) {
    ReadMftRecord(volume_, candidate.record, record_);
    if (!ScannedHeader(record_, candidate.record, extensions_)) return false;
    std::optional<FileNameValue> fileName =
        ReadRecordFileName(volume_, record_, candidate.record);
    if (!fileName || ParentRecordOf(fileName->parentReference) != candidate.parent ||
        NameHash(fileName->fileName) != candidate.nameHash) {
      return false;
    }
    const std::u16string paired =
        PairedLongName(record_, *fileName).value_or(std::u16string());
    if (view_.IsVisibleToWin32(candidate.parent, fileName->fileName, candidate.record, paired)) {
      return false;
    }
    const std::string name = ConvertFileName(*volume_.platform, fileName->fileName);
    const std::string path = paths_.BuildFullPath(name, candidate.parent);
    if (path.empty()) return false;
    const std::string longPath =
        view_.ExpandLongPath(path, name, candidate.parent, fileName->fileName, candidate.record,
                             paired);
    if (IsSystemMetadataPath(longPath)) return false;
    AppendRecordLine(line_, candidate.record, candidate.size, candidate.isDirectory, longPath,
                     codePage_);
    std::fwrite(line_.data(), 1, line_.size(), out_);
    return true;
  }

  const VolumeContext& volume_;
  PathBuilder& paths_;
  DirectoryView& view_;
  ExtensionRecords& extensions_;
  const std::uint32_t codePage_;
  std::FILE* out_;
  std::vector<std::byte> record_;
  std::string line_;
  std::vector<Candidate> held_;
  std::uint32_t reported_ = 0;
};

void WriteTotals(std::FILE* err, bool dig, std::uint32_t total, std::uint32_t hidden) {
  if (dig) {
    std::fprintf(err, "complete. total %lu files, %lu hidden files.\n",
                 static_cast<unsigned long>(total), static_cast<unsigned long>(hidden));
  } else {
    std::fprintf(err, "complete. total %lu files.\n", static_cast<unsigned long>(total));
  }
}

// The progress text goes out for every record number, byte for byte, but is
// held back while the percentage stays the same: one write per change instead
// of a system call per record on an unbuffered standard error.
class ProgressWriter {
 public:
  explicit ProgressWriter(std::FILE* err) : err_(err) {}
  ~ProgressWriter() { Flush(); }
  ProgressWriter(const ProgressWriter&) = delete;
  ProgressWriter& operator=(const ProgressWriter&) = delete;

  void Write(int percent) {
    if (percent != percent_ || pending_.size() >= kMaxPending) {
      Flush();
      percent_ = percent;
      char text[16];
      int length = std::snprintf(text, sizeof text, "%d%%\r", percent);
      text_.assign(text, static_cast<std::size_t>(std::max(length, 0)));
    }
    pending_ += text_;
  }

  void Flush() {
    if (pending_.empty()) return;
    std::fwrite(pending_.data(), 1, pending_.size(), err_);
    std::fflush(err_);
    pending_.clear();
  }

 private:
  static constexpr std::size_t kMaxPending = 1u << 16;
  std::FILE* err_;
  int percent_ = -1;
  std::string text_;
  std::string pending_;
};

}  // namespace

bool TestBit(std::span<const std::byte> bitmap, std::uint32_t n) {
  std::size_t byteIndex = n / 8;
  if (byteIndex >= bitmap.size()) return false;
  return (std::to_integer<unsigned>(bitmap[byteIndex]) >> (n % 8) & 1u) != 0;
}

std::optional<std::uint32_t> ScanMft(const VolumeContext& volume, ScanMode mode, char driveLetter,
                                     std::FILE* out, std::FILE* err) {
  std::optional<DataStream> bitmapAttribute =
      FindAttributeStream(volume, volume.mftSelfRecord, 0, kBitmapType);
  // The $MFT's $DATA pieces were gathered when record 0 was loaded.
  if (!bitmapAttribute || volume.mftData.pieces.empty() || volume.geometry.recordSize == 0) {
    return std::nullopt;
  }
  Platform& platform = *volume.platform;
  const bool dig = mode == ScanMode::kDig;
  const std::uint32_t count = CountRecords(volume, volume.mftData);
  const std::vector<std::byte> bitmap = ReadMftBitmap(volume, *bitmapAttribute, count);
  MftChunkReader records(volume, count);
  std::vector<std::byte> record(volume.geometry.recordSize);
  PathBuilder paths(volume, platform, driveLetter);
  DirectoryView view(platform, paths, driveLetter);
  ExtensionRecords extensions(volume);
  const std::uint32_t codePage = platform.GetACP();

  std::fprintf(out, "%8s %8s       %s\n", "index", "size", "filename");
  std::fputs(kRuleLine, out);
  std::string line;
  std::uint32_t total = 0;
  CandidateReport candidates(volume, paths, view, extensions, codePage, out);
  std::uint32_t progress = 0;  // 100 * n, wrapping as a 32-bit counter does
  ProgressWriter progressText(err);
  for (std::uint32_t n = 0; n < count; ++n, progress += 100) {
    progressText.Write(static_cast<int>(progress / count));
    if (!TestBit(bitmap, n)) continue;
    records.Read(n, record);
    std::optional<FileRecordHeader> header = ScannedHeader(record, n, extensions);
    if (!header) continue;
    std::optional<FileNameValue> fileName = ReadRecordFileName(volume, record, n);
    if (!fileName) continue;
    std::string name = ConvertFileName(platform, fileName->fileName);
    if (name.empty()) continue;
    const std::uint32_t parent = ParentRecordOf(fileName->parentReference);
    std::string path = paths.BuildFullPath(name, parent);
    if (path.empty()) continue;
    ++total;
    const std::u16string paired = PairedLongName(record, *fileName).value_or(std::u16string());
    // A visible record costs no further platform call.
    if (dig && view.IsVisibleToWin32(parent, fileName->fileName, n, paired)) continue;
    const bool isDirectory = (header->recordFlags & kRecordIsDirectory) != 0;
    const std::uint32_t size = ReportedSize(view, *fileName, isDirectory, n, paired);
    if (dig) {
      // Its path is expanded, and told from the metadata, when it is looked at again.
      candidates.Hold({n, parent, size, isDirectory, NameHash(fileName->fileName)});
      continue;
    }
    std::string longPath = view.ExpandLongPath(path, name, parent, fileName->fileName, n, paired);
    AppendRecordLine(line, n, size, isDirectory, longPath, codePage);
    std::fwrite(line.data(), 1, line.size(), out);
  }
  progressText.Flush();
  candidates.Confirm();
  const std::uint32_t hidden = candidates.reported();
  std::fputs(kRuleLine, out);
  WriteTotals(err, dig, total, hidden);
  return total;
}

}  // namespace sondrel
