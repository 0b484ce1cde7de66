#include "ntfs/VolumeContext.h"

#include <gtest/gtest.h>

#include "support/TestVolume.h"

namespace sondrel {
namespace {

using test::BootFields;
using test::Bytes;
using test::MakeBootSector;
using test::TestVolume;

TEST(ReadVolumeGeometry, DerivesClusterAndRecordSizes) {
  struct Case {
    std::uint16_t bytesPerSector;
    std::uint8_t sectorsPerCluster;
    std::uint32_t clustersPerRecord;
    std::uint32_t clusterSize;
    std::uint32_t recordSize;
  };
  const Case cases[] = {
      {512, 8, 0xF6, 4096, 1024},      {512, 2, 0x01, 1024, 1024}, {512, 2, 0x02, 1024, 2048},
      {4096, 1, 0xF4, 4096, 4096},     {512, 1, 0xF6, 512, 1024},  {512, 0x80, 0xF6, 65536, 1024},
      {512, 0xF8, 0xF6, 131072, 1024},  // large clusters: 2^8 sectors
      {256, 4, 0x01, 1024, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytesPerSector << " " << int{c.sectorsPerCluster} << " "
                                    << c.clustersPerRecord);
    GeometryResult result = ReadVolumeGeometry(
        MakeBootSector({c.bytesPerSector, c.sectorsPerCluster, 0x1234, c.clustersPerRecord}));
    ASSERT_TRUE(result.geometry.has_value()) << result.reason;
    EXPECT_EQ(result.geometry->clusterSize, c.clusterSize);
    EXPECT_EQ(result.geometry->recordSize, c.recordSize);
    EXPECT_EQ(result.geometry->mftStartLcn, 0x1234u);
    EXPECT_EQ(result.geometry->bytesPerSector, c.bytesPerSector);
  }
}

TEST(ReadVolumeGeometry, RefusesUnusableGeometryWithAReason) {
  struct Case {
    std::uint16_t bytesPerSector;
    std::uint8_t sectorsPerCluster;
    std::uint32_t clustersPerRecord;
    const char* reasonPart;
  };
  const Case cases[] = {
      {0, 8, 0xF6, "bytes per sector"},
      {100, 8, 0xF6, "bytes per sector"},
      {768, 8, 0xF6, "bytes per sector"},
      {8192, 1, 0xF6, "bytes per sector"},
      {128, 8, 0xF6, "bytes per sector"},
      {512, 0, 0xF6, "sectors per cluster is zero"},
      {512, 3, 0xF6, "sectors per cluster"},
      {512, 8, 0x00, "0x40"},
      {512, 8, 0x80, "0x40"},
      {512, 8, 0xE0, "0x40"},
      {512, 8, 0x100, "0x40"},
      {512, 8, 0x1F6, "0x40"},
      {512, 128, 0x02, "above 64 KiB"},
      {512, 8, 0xE1, "above 64 KiB"},
      {512, 8, 0xF9, "too small"},
      {4096, 0xF6, 0xF6, "cluster"},
      {4096, 0xFF - 0x14, 0xF6, "cluster"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytesPerSector << " " << int{c.sectorsPerCluster} << " "
                                    << c.clustersPerRecord);
    GeometryResult result = ReadVolumeGeometry(
        MakeBootSector({c.bytesPerSector, c.sectorsPerCluster, 4, c.clustersPerRecord}));
    EXPECT_FALSE(result.geometry.has_value());
    EXPECT_NE(result.reason.find(c.reasonPart), std::string::npos) << result.reason;
  }
  EXPECT_FALSE(ReadVolumeGeometry(Bytes(0x43)).geometry.has_value());
}

TEST(VolumeSize, TakesTheSmallerOfBootSectorAndDeviceWhenKnown) {
  constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  struct Case {
    std::uint64_t totalSectors;
    std::uint64_t deviceBytes;
    std::uint64_t expected;
  } cases[] = {
      {2048, 0, 2048 * 512},                    // the boot sector alone
      {0, 5000, 5000},                          // the device alone
      {2048, 4096, 4096},                       // a device shorter than its boot sector
      {8, 1 << 20, 8 * 512},                    // a boot sector shorter than its device
      {0, 0, kUnknown},                         // neither: no cap
      {~std::uint64_t{0} / 4, 0, kUnknown},     // a sector count whose bytes overflow
      {~std::uint64_t{0} / 4, 1 << 20, 1 << 20},
  };
  for (const Case& c : cases) {
    VolumeContext volume;
    volume.geometry.bytesPerSector = 512;
    volume.geometry.totalSectors = c.totalSectors;
    volume.deviceBytes = c.deviceBytes;
    EXPECT_EQ(VolumeSize(volume), c.expected) << c.totalSectors << " " << c.deviceBytes;
  }
}

TEST(ReadClusters, MakesOnePositionedReadAtTheSixtyFourBitOffset) {
  TestVolume v({512, 8, 4, 0xF6}, 16);
  Bytes dest(3 * 4096, std::byte{0xAA});
  // Cluster 2097152 lies at byte 0x200000000, far past this small image.
  EXPECT_FALSE(ReadClusters(v.volume, 2097152, 3, dest));
  ASSERT_EQ(v.platform.reads.size(), 1u);
  EXPECT_TRUE(v.platform.reads[0].positioned);
  EXPECT_EQ(v.platform.reads[0].offset, 0x200000000ull);
  EXPECT_EQ(v.platform.reads[0].length, 12288u);
  EXPECT_EQ(dest, Bytes(dest.size()));  // a failed read leaves zeros, not old bytes
}

TEST(ReadSectors, ReadsWholeSectorsAndZeroFillsAShortRead) {
  TestVolume v({512, 8, 4, 0xF6}, 2);  // 8192 bytes
  for (std::size_t i = 0; i < 8192; ++i) v.Image()[i] = static_cast<std::byte>(i % 251 + 1);
  Bytes dest(4096, std::byte{0xAA});
  EXPECT_TRUE(ReadSectors(v.volume, 2, 4, dest));
  EXPECT_EQ(dest[0], v.Image()[1024]);
  EXPECT_EQ(dest[2048], std::byte{0xAA});  // beyond the count: untouched

  // Sectors 12..19: the image ends after sector 15.
  EXPECT_FALSE(ReadSectors(v.volume, 12, 8, dest));
  EXPECT_EQ(dest[2047], v.Image()[8191]);
  EXPECT_EQ(Bytes(dest.begin() + 2048, dest.end()), Bytes(2048));

  // A destination too small for the count reads nothing.
  const std::size_t readsBefore = v.platform.reads.size();
  Bytes small(1000, std::byte{0xAA});
  EXPECT_FALSE(ReadSectors(v.volume, 0, 2, small));
  EXPECT_EQ(v.platform.reads.size(), readsBefore);
  EXPECT_EQ(small, Bytes(1000));
}

}  // namespace
}  // namespace sondrel
