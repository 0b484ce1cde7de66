#include "cli/RunDriver.h"

#include "cli/RunOptions.h"
#include "dump/DumpRecord.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/VolumeContext.h"
#include "scan/MftScan.h"

namespace sondrel {
namespace {

// Opening a raw volume needs elevated rights; say so when that is the cause.
#ifdef _WIN32
constexpr const char* kAccessDeniedAdvice = "; run Sondrel.exe as administrator";
#else
constexpr const char* kAccessDeniedAdvice = "; run sondrel as root";
#endif

// Closes the volume on every way out of the run.
class VolumeCloser {
 public:
  VolumeCloser(Platform& platform, FileHandle handle) : platform_(platform), handle_(handle) {}
  VolumeCloser(const VolumeCloser&) = delete;
  VolumeCloser& operator=(const VolumeCloser&) = delete;
  ~VolumeCloser() { platform_.CloseHandle(handle_); }

 private:
  Platform& platform_;
  FileHandle handle_;
};

int Fail(std::FILE* err, const char* what, const std::string& subject, const std::string& reason,
         const char* advice = "") {
  std::fprintf(err, "sondrel: %s %s (%s)%s\n", what, subject.c_str(), reason.c_str(), advice);
  return kFailureExitStatus;
}

int RunDump(const VolumeContext& volume, const RunOptions& options, std::FILE* err) {
  DumpResult result = DumpRecordData(volume, options.dumpIndex, options.dumpFileName);
  switch (result.outcome) {
    case DumpOutcome::kCreateFailed:
      return Fail(err, "cannot create", options.dumpFileName, result.error);
    case DumpOutcome::kWriteFailed:
      return Fail(err, "cannot write", options.dumpFileName, result.error);
    case DumpOutcome::kWritten:
      if (!result.complete) {
        return Fail(err, "incomplete dump in", options.dumpFileName,
                    "part of the data could not be read and is zero-filled or missing");
      }
      break;
    case DumpOutcome::kNoRecord:
    case DumpOutcome::kNoData:
      break;  // a record without a "FILE" signature or unnamed $DATA is passed over silently
  }
  return 0;
}

}  // namespace

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "Sondrel 0.2 - Dig out all files what are hidden by rootkit in NTFS partition\n");
  std::fprintf(out, "\nusage: Sondrel.exe <options>\n");
  std::fprintf(out, "\n<options>:\n");
  std::fprintf(out, "    dig <driver> : dig out all hidden files from <driver>\n");
  std::fprintf(out, "    list <driver> : list all files of <driver>\n");
  std::fprintf(out, "    dump <driver> <index> <filename> : dump the file content to <filename>\n");
  std::fprintf(out, "\nexample:\n");
  std::fprintf(out, "    Sondrel.exe -dig c\n");
  std::fprintf(out, "    Sondrel.exe -list c\n");
  std::fprintf(out, "    Sondrel.exe -dump c 10224 dump.dat\n");
}

int RunSondrel(Platform& platform, std::span<const std::string> args, std::FILE* out,
               std::FILE* err) {
  CommandLine commandLine = ParseCommandLine(args);
  if (!commandLine.options) {
    if (commandLine.unknownParameter) {
      std::fprintf(out, "Unknown parameter \"%s\"\n\n", commandLine.unknownParameter->c_str());
    }
    PrintUsage(out);
    return kUsageExitStatus;
  }
  const RunOptions& options = *commandLine.options;
  // A zero drive character ends the device path early, as it would in a C string.
  const std::string devicePath = DevicePathOf(options.driveChar).c_str();

  VolumeContext volume;
  volume.platform = &platform;
  volume.volumeHandle =
      platform.CreateFileA(devicePath, kGenericRead, kFileShareRead | kFileShareWrite, kOpenExisting);
  if (volume.volumeHandle == kInvalidHandleValue) {
    bool denied = platform.GetLastError() == kErrorAccessDenied;
    return Fail(err, "cannot open volume", devicePath, platform.GetLastErrorMessage(),
                denied ? kAccessDeniedAdvice : "");
  }
  VolumeCloser closer(platform, volume.volumeHandle);

  std::uint32_t bytesRead = 0;
  if (!platform.ReadFile(volume.volumeHandle, volume.bootSector, &bytesRead, nullptr)) {
    return Fail(err, "cannot read the boot sector of", devicePath, platform.GetLastErrorMessage());
  }
  if (bytesRead < kBootSectorSize) {
    return Fail(err, "cannot read the boot sector of", devicePath,
                "only " + std::to_string(bytesRead) + " of 512 bytes");
  }
  GeometryResult geometry = ReadVolumeGeometry(volume.bootSector);
  if (!geometry.geometry) {
    return Fail(err, "no usable NTFS geometry on", devicePath, geometry.reason);
  }
  volume.geometry = *geometry.geometry;
  volume.deviceBytes = platform.GetLengthInfo(volume.volumeHandle).value_or(0);
  if (!LoadMftSelfRecord(volume)) {
    return Fail(err, "cannot use $MFT record 0 of", devicePath,
                "it cannot be read or has no FILE signature");
  }
  // Every record is found through the $MFT's own data runs; without them no
  // record can be read, and an empty listing would pass for success.
  if (volume.mftData.pieces.empty() || volume.mftData.IsResident()) {
    return Fail(err, "cannot use $MFT record 0 of", devicePath,
                "it has no non-resident unnamed $DATA attribute");
  }

  if (options.mode == RunMode::kDump) return RunDump(volume, options, err);
  const ScanMode mode = options.mode == RunMode::kDig ? ScanMode::kDig : ScanMode::kList;
  if (!ScanMft(volume, mode, options.driveLetter, out, err)) {
    return Fail(err, "cannot use $MFT record 0 of", devicePath,
                "it has no unnamed $BITMAP attribute");
  }
  return 0;
}

}  // namespace sondrel
