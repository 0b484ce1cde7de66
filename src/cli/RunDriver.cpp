#include "cli/RunDriver.h"

#include <optional>

#include "cli/RunOptions.h"
#include "dump/DumpRecord.h"
#include "ntfs/OpenVolume.h"
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

// The command line's options; nullopt after the usage text went to out.
std::optional<RunOptions> ParseOrExplain(std::span<const std::string> args, std::FILE* out) {
  CommandLine commandLine = ParseCommandLine(args);
  if (!commandLine.options) {
    if (commandLine.unknownParameter) {
      std::fprintf(out, "Unknown parameter \"%s\"\n\n", commandLine.unknownParameter->c_str());
    }
    PrintUsage(out);
  }
  return commandLine.options;
}

// Says which step of opening the volume failed, and why.
int ReportOpenFailure(const OpenFailure& failure, const std::string& devicePath, std::FILE* err) {
  switch (failure.step) {
    case OpenStep::kOpenDevice:
      return Fail(err, "cannot open volume", devicePath, failure.reason,
                  failure.accessDenied ? kAccessDeniedAdvice : "");
    case OpenStep::kReadBootSector:
      return Fail(err, "cannot read the boot sector of", devicePath, failure.reason);
    case OpenStep::kReadGeometry:
      return Fail(err, "no usable NTFS geometry on", devicePath, failure.reason);
    case OpenStep::kLoadMftRecord:
      break;
  }
  return Fail(err, "cannot use $MFT record 0 of", devicePath, failure.reason);
}

// Runs the chosen mode on the open volume.
int RunChosenMode(const VolumeContext& volume, const RunOptions& options,
                  const std::string& devicePath, std::FILE* out, std::FILE* err) {
  if (options.mode == RunMode::kDump) return RunDump(volume, options, err);
  const ScanMode mode = options.mode == RunMode::kDig ? ScanMode::kDig : ScanMode::kList;
  if (!ScanMft(volume, mode, options.driveLetter, out, err)) {
    return Fail(err, "cannot use $MFT record 0 of", devicePath,
                "it has no unnamed $BITMAP attribute");
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
  const std::optional<RunOptions> options = ParseOrExplain(args, out);
  if (!options) return kUsageExitStatus;
  // A zero drive character ends the device path early, as it would in a C string.
  const std::string devicePath = DevicePathOf(options->driveChar).c_str();
  // The volume stays open, its handle owned here, until the mode is done.
  OpenVolumeResult opened = OpenVolume(platform, devicePath);
  if (!opened.volume) return ReportOpenFailure(opened.failure, devicePath, err);
  return RunChosenMode(opened.volume->context, *options, devicePath, out, err);
}

}  // namespace sondrel
