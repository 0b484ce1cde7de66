#include "dump/DumpRecord.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "ntfs/AttributeList.h"
#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// clusters * clusterSize, all ones when that does not fit.
std::uint64_t ClusterBytes(std::uint64_t clusters, std::uint64_t clusterSize) {
  return clusterSize != 0 && clusters > kMax64 / clusterSize ? kMax64 : clusters * clusterSize;
}

struct DumpLength {
  std::uint64_t bytes = 0;
  bool complete = true;  // false when a damaged value was cut
};

// The bytes of the value to write: its data size, cut as the header says.
DumpLength LengthToDump(const VolumeContext& volume, const DataStream& stream) {
  DumpLength length{stream.ValueSize(), stream.consistent};
  if (stream.IsResident()) return length;
  const std::uint64_t clusterSize = volume.geometry.clusterSize;
  const std::uint64_t volumeBytes = VolumeSize(volume);
  const std::uint64_t mappedBytes = ClusterBytes(stream.MappedClusters(), clusterSize);
  const std::uint64_t reach = stream.consistent ? mappedBytes : std::max(mappedBytes, volumeBytes);
  std::uint64_t limit = std::min(stream.AllocatedSize(), reach);
  if (clusterSize != 0) {
    if (auto past = stream.Runs().FirstVcnPast(volumeBytes / clusterSize)) {
      limit = std::min(limit, ClusterBytes(*past, clusterSize));
    }
  }
  if (length.bytes > limit) {
    length.bytes = limit;
    length.complete = false;
  }
  return length;
}

// The output file, created or truncated, opened for writing without sharing;
// kInvalidHandleValue and the platform's error text when it cannot be.
FileHandle CreateDumpFile(Platform& platform, const std::string& name, std::string& error) {
  const FileHandle out = platform.CreateFileA(name, kGenericWrite, 0, kCreateAlways);
  if (out == kInvalidHandleValue) error = platform.GetLastErrorMessage();
  return out;
}

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

// Reads the first size bytes of a non-resident stream and writes them in
// chunks of at most kDumpChunkBytes: one WriteFile when the value fits one
// chunk, an empty value still gets its (empty) write. Bytes past the
// initialized size are written as zeros and their clusters not read.
bool WriteChunks(const VolumeContext& volume, FileHandle out, const DataStream& stream,
                 std::uint64_t size, DumpResult& result) {
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  const std::uint64_t initialized = stream.InitializedSize();
  const std::uint32_t chunkClusters = std::max<std::uint32_t>(kDumpChunkBytes / clusterSize, 1);
  std::vector<std::byte> buffer(static_cast<std::size_t>(
      std::min<std::uint64_t>(size, std::uint64_t{chunkClusters} * clusterSize)));
  std::uint64_t vcn = 0;
  std::uint64_t done = 0;
  bool written = true;
  do {
    const std::size_t bytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
    const auto clusters = static_cast<std::uint32_t>((bytes + clusterSize - 1) / clusterSize);
    std::span<std::byte> chunk = std::span(buffer).first(bytes);
    // The clusters that hold the chunk's initialized head are read whole
    // (a partial cluster only at the value's end), the rest is zeros.
    const std::size_t data = static_cast<std::size_t>(
        initialized <= done ? 0 : std::min<std::uint64_t>(initialized - done, bytes));
    const auto dataClusters = static_cast<std::uint32_t>((data + clusterSize - 1) / clusterSize);
    if (data > 0) {
      const std::size_t read = static_cast<std::size_t>(
          std::min<std::uint64_t>(std::uint64_t{dataClusters} * clusterSize, bytes));
      result.complete &= ReadStreamVcnRange(volume, stream, vcn, dataClusters, chunk.first(read));
    }
    ZeroFill(chunk.subspan(data));
    written = WriteAll(*volume.platform, out, chunk, result.error);
    vcn += clusters;
    done += bytes;
  } while (written && done < size);
  return written;
}

}  // namespace

DumpResult DumpRecordData(const VolumeContext& volume, std::int32_t dumpIndex,
                          const std::string& dumpFileName) {
  DumpResult result;
  const auto recordNumber = static_cast<std::uint32_t>(dumpIndex);
  std::vector<std::byte> record(volume.geometry.recordSize);
  ReadMftRecord(volume, recordNumber, record);
  if (!HasFileMagic(record)) return result;  // kNoRecord
  auto stream = FindAttributeStream(volume, record, recordNumber, kDataType);
  if (!stream) {
    result.outcome = DumpOutcome::kNoData;
    return result;
  }
  const DumpLength length = LengthToDump(volume, *stream);
  result.complete = length.complete;

  Platform& platform = *volume.platform;
  const FileHandle out = CreateDumpFile(platform, dumpFileName, result.error);
  if (out == kInvalidHandleValue) {
    result.outcome = DumpOutcome::kCreateFailed;
    return result;
  }
  const bool written =
      stream->IsResident()
          ? WriteAll(platform, out, stream->pieces.front().View().ResidentValue(), result.error)
          : WriteChunks(volume, out, *stream, length.bytes, result);
  platform.CloseHandle(out);
  result.outcome = written ? DumpOutcome::kWritten : DumpOutcome::kWriteFailed;
  return result;
}

}  // namespace sondrel
