#include "dump/DumpRecord.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "ntfs/AttributeList.h"
#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"

namespace sondrel {
namespace {

// Writes all of bytes with one WriteFile; a failed or short write is an error.
bool WriteAll(Platform& platform, FileHandle handle, std::span<const std::byte> bytes,
              std::string& error) {
  std::uint32_t written = 0;
  const bool ok = platform.WriteFile(handle, bytes, &written);
  if (ok && written == bytes.size()) return true;
  // A write that succeeds short (a full disk) leaves no error of its own.
  error = ok ? std::string() : platform.GetLastErrorMessage();
  if (error.empty()) {
    error = "wrote " + std::to_string(written) + " of " + std::to_string(bytes.size()) + " bytes";
  }
  return false;
}

}  // namespace

DumpResult DumpRecordData(const VolumeContext& volume, std::int32_t dumpIndex,
                          const std::string& dumpFileName) {
  DumpResult result;
  const auto recordNumber = static_cast<std::uint32_t>(dumpIndex);
  std::vector<std::byte> record(volume.geometry.RecordSize);
  ReadMftRecord(volume, recordNumber, record);
  if (!HasFileMagic(record)) return result;  // kNoRecord
  auto stream = FindAttributeStream(volume, record, recordNumber, kDataType);
  if (!stream) {
    result.outcome = DumpOutcome::kNoData;
    return result;
  }

  // Never more than the value's allocated size nor past the clusters its
  // runs map: beyond either lies nothing of the value, and a hostile data
  // size would otherwise have us write gigabytes of zeros.
  std::uint64_t size = stream->ValueSize();
  if (!stream->IsResident()) {
    const std::uint64_t clusterSize = volume.geometry.ClusterSize;
    const std::uint64_t mapped = stream->MappedClusters();
    const std::uint64_t mappedBytes =
        clusterSize != 0 && mapped > std::numeric_limits<std::uint64_t>::max() / clusterSize
            ? std::numeric_limits<std::uint64_t>::max()
            : mapped * clusterSize;
    // When a piece named by the attribute list is unusable, its VCNs are
    // written as zeros up to the recorded size, but never past what the
    // volume itself could hold.
    const std::uint64_t reach =
        stream->consistent ? mappedBytes : std::max(mappedBytes, VolumeSize(volume));
    const std::uint64_t limit = std::min(stream->AllocatedSize(), reach);
    if (size > limit) {
      size = limit;
      result.complete = false;
    }
  }
  result.complete = result.complete && stream->consistent;

  Platform& platform = *volume.platform;
  const FileHandle out = platform.CreateFileA(dumpFileName, kGenericWrite, 0, kCreateAlways);
  if (out == kInvalidHandleValue) {
    result.outcome = DumpOutcome::kCreateFailed;
    result.error = platform.GetLastErrorMessage();
    return result;
  }

  bool written = true;
  if (stream->IsResident()) {
    written = WriteAll(platform, out, stream->pieces.front().View().ResidentValue(), result.error);
  } else {
    const std::uint32_t clusterSize = volume.geometry.ClusterSize;
    const std::uint32_t chunkClusters = std::max<std::uint32_t>(kDumpChunkBytes / clusterSize, 1);
    std::vector<std::byte> buffer(static_cast<std::size_t>(
        std::min<std::uint64_t>(size, std::uint64_t{chunkClusters} * clusterSize)));
    std::uint64_t vcn = 0;
    std::uint64_t done = 0;
    // One WriteFile of the whole value when it fits one chunk; an empty value
    // still gets its (empty) write.
    do {
      const std::size_t bytes =
          static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
      const auto clusters = static_cast<std::uint32_t>((bytes + clusterSize - 1) / clusterSize);
      std::span<std::byte> piece = std::span(buffer).first(bytes);
      result.complete &= ReadStreamVcnRange(volume, *stream, vcn, clusters, piece) || bytes == 0;
      written = WriteAll(platform, out, piece, result.error);
      vcn += clusters;
      done += bytes;
    } while (written && done < size);
  }
  platform.CloseHandle(out);
  result.outcome = written ? DumpOutcome::kWritten : DumpOutcome::kWriteFailed;
  return result;
}

}  // namespace sondrel
