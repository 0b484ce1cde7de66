#include "ntfs/OpenVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "platform/FakePlatform.h"
#include "support/MftImageBuilder.h"

namespace sondrel {
namespace {

constexpr const char* kDevice = "\\\\.\\x:";

TEST(OpenVolume, ReadsBootSectorGeometryLengthAndRecordZeroAndClosesWhenDropped) {
  test::MftImageBuilder builder;
  FakePlatform platform;
  platform.files[kDevice] = builder.Build();
  {
    OpenVolumeResult opened = OpenVolume(platform, kDevice);
    ASSERT_TRUE(opened.volume);
    const VolumeContext& volume = opened.volume->context;
    EXPECT_EQ(volume.platform, &platform);
    EXPECT_EQ(volume.volumeHandle, opened.volume->handle.Get());
    EXPECT_EQ(volume.geometry.clusterSize, 4096u);
    EXPECT_EQ(volume.geometry.recordSize, 1024u);
    EXPECT_EQ(volume.deviceBytes, platform.files[kDevice].size());
    EXPECT_FALSE(volume.mftData.pieces.empty());
    EXPECT_TRUE(std::equal(volume.bootSector.begin(), volume.bootSector.end(),
                           platform.files[kDevice].begin()));
    // The boot sector comes first, from the handle's own position.
    ASSERT_FALSE(platform.reads.empty());
    EXPECT_FALSE(platform.reads[0].positioned);
    EXPECT_EQ(platform.reads[0].length, 512u);
    EXPECT_EQ(platform.openHandles, 1);
  }
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(OpenVolume, TakesTheDeviceLengthFromThePlatformOrZeroWhenItCannotTell) {
  for (std::optional<std::uint64_t> length :
       {std::optional<std::uint64_t>{12345}, std::optional<std::uint64_t>{}}) {
    FakePlatform platform;
    platform.files[kDevice] = test::MftImageBuilder().Build();
    platform.deviceLengths[kDevice] = length;
    OpenVolumeResult opened = OpenVolume(platform, kDevice);
    ASSERT_TRUE(opened.volume);
    EXPECT_EQ(opened.volume->context.deviceBytes, length.value_or(0));
  }
}

// A platform whose reads all fail, and one that denies every open.
struct FailingReads : FakePlatform {
  bool ReadFile(FileHandle, std::span<std::byte>, std::uint32_t* bytesRead,
                const Overlapped*) override {
    if (bytesRead != nullptr) *bytesRead = 0;
    return false;
  }
  std::string GetLastErrorMessage() override { return "The device is not ready."; }
};
struct DeniedOpens : FakePlatform {
  std::uint32_t GetLastError() override { return kErrorAccessDenied; }
};

TEST(OpenVolume, SaysWhichStepFailedAndWhyAndLeavesNothingOpen) {
  auto image = [](std::function<void(test::MftImageBuilder&)> change) {
    test::MftImageBuilder builder;
    change(builder);
    return builder.Build();
  };
  test::Bytes noSignature = image([](auto&) {});
  std::fill_n(noSignature.begin() + 4 * 4096, 4, std::byte{0});
  struct Case {
    const char* what;
    std::function<FakePlatform*()> platform;
    std::optional<test::Bytes> device;
    OpenStep step;
    std::string reason;
    bool accessDenied;
  };
  FakePlatform plain;
  FailingReads failing;
  DeniedOpens denied;
  denied.lockedPaths.push_back(kDevice);
  const Case cases[] = {
      {"no such device", [&] { return &plain; }, std::nullopt, OpenStep::kOpenDevice,
       "The system cannot find the file specified.", false},
      {"access denied", [&] { return &denied; }, test::Bytes(512), OpenStep::kOpenDevice,
       "The process cannot access the file because it is being used by another process.", true},
      {"failed read", [&] { return &failing; }, test::Bytes(512), OpenStep::kReadBootSector,
       "The device is not ready.", false},
      {"short boot sector", [&] { return &plain; }, test::Bytes(100), OpenStep::kReadBootSector,
       "only 100 of 512 bytes", false},
      {"no geometry", [&] { return &plain; }, test::Bytes(4096), OpenStep::kReadGeometry,
       "bytes per sector (0) is not a power of two from 256 to 4096", false},
      {"record 0 without FILE", [&] { return &plain; }, noSignature, OpenStep::kLoadMftRecord,
       "it cannot be read or has no FILE signature", false},
      {"record 0 without $DATA", [&] { return &plain; },
       image([](auto& b) { b.mftHasData = false; }), OpenStep::kLoadMftRecord,
       "it has no non-resident unnamed $DATA attribute", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform& platform = *c.platform();
    platform.files.erase(kDevice);
    if (c.device) platform.files[kDevice] = *c.device;
    OpenVolumeResult opened = OpenVolume(platform, kDevice);
    EXPECT_FALSE(opened.volume);
    EXPECT_EQ(opened.failure.step, c.step);
    EXPECT_EQ(opened.failure.reason, c.reason);
    EXPECT_EQ(opened.failure.accessDenied, c.accessDenied);
    EXPECT_EQ(platform.openHandles, 0);
  }
}

TEST(OpenVolumeGeometry, OpensAVolumeWithoutAnMft) {
  test::Bytes image(8 * 4096);
  test::PutBytes(image, 0, test::MakeBootSector({}));
  FakePlatform platform;
  platform.files[kDevice] = image;
  OpenVolumeResult opened = OpenVolumeGeometry(platform, kDevice);
  ASSERT_TRUE(opened.volume);
  EXPECT_EQ(opened.volume->context.geometry.mftStartLcn, 4u);
  EXPECT_EQ(opened.volume->context.deviceBytes, 8u * 4096);
  EXPECT_TRUE(opened.volume->context.mftSelfRecord.empty());
  EXPECT_FALSE(OpenVolume(platform, kDevice).volume);
  EXPECT_EQ(platform.openHandles, 1);
}

}  // namespace
}  // namespace sondrel
