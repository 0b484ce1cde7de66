// A whole small volume as hostile input: -list, -dig and two -dumps run on it
// through the run driver and the fake platform, as the program would.
//
// Input: the volume's bytes from offset 0 (reads past the end fail). The byte
// at 0x1F0, in the boot code that nothing reads, picks the second dump's record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "cli/RunDriver.h"
#include "platform/FakePlatform.h"

namespace {

constexpr const char* kDevice = "\\\\.\\x:";

std::FILE* Sink() {
  static std::FILE* sink = [] {
    std::FILE* file = std::fopen("/dev/null", "w");
    if (file == nullptr) __builtin_trap();
    return file;
  }();
  return sink;
}

// Keeps no dump output in memory: a sparse value may be far larger than the
// volume, and only the tool's own allocations are under test.
class Platform : public sondrel::FakePlatform {
 public:
  bool WriteFile(sondrel::FileHandle, std::span<const std::byte> buffer,
                 std::uint32_t* bytesWritten) override {
    if (bytesWritten != nullptr) *bytesWritten = static_cast<std::uint32_t>(buffer.size());
    return true;
  }
};

void Run(const std::vector<std::byte>& volume, std::vector<std::string> args) {
  Platform platform;
  platform.files[kDevice] = volume;
  // One visible entry, so the dig mode's listing and expansion have something to compare.
  platform.directories["X:"] = {{"dir", "DIR~1"}, {"$MFT", ""}};
  args.insert(args.begin(), "sondrel");
  (void)sondrel::RunSondrel(platform, args, Sink(), Sink());
  if (platform.openHandles != 0) __builtin_trap();  // every handle is closed on every way out
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> volume(size);
  for (std::size_t i = 0; i < size; ++i) volume[i] = static_cast<std::byte>(data[i]);
  Run(volume, {"-list", "x"});
  Run(volume, {"-dig", "x"});
  Run(volume, {"-dump", "x", "0", "out.bin"});
  unsigned index = size > 0x1F0 ? data[0x1F0] : 5;
  Run(volume, {"-dump", "x", std::to_string(index), "out.bin"});
  return 0;
}
