#include "ntfs/FileRecord.h"

#include <gtest/gtest.h>

#include "support/FileRecordBuilder.h"

namespace sondrel {
namespace {

using namespace test;

Bytes PatternRecord(std::size_t size) {
  Bytes r(size);
  for (std::size_t i = 0; i < size; ++i) r[i] = static_cast<std::byte>(i * 7 + 3);
  PutBytes(r, 0, BytesOf({'F', 'I', 'L', 'E'}));
  return r;
}

TEST(ApplyFixups, RestoresEachStrideEndAndNothingElse) {
  for (std::size_t size : {1024u, 4096u}) {
    const std::size_t count = size / 512 + 1;
    Bytes r = PatternRecord(size);
    Put16(r, 0x04, 0x30);
    Put16(r, 0x06, count);
    Bytes expected = r;
    for (std::size_t i = 1; i < count; ++i) {
      Put16(r, 512 * i - 2, 0x4242);  // on disk: the sequence number
      expected[512 * i - 2] = r[0x30 + 2 * i];
      expected[512 * i - 1] = r[0x30 + 2 * i + 1];
    }
    EXPECT_TRUE(ApplyFixups(r));
    EXPECT_EQ(r, expected) << size;
  }
}

// A torn write leaves a stride end that is not the update sequence number;
// it is not compared, so the record is restored and used as it reads.
TEST(ApplyFixups, DoesNotCompareTheUpdateSequenceNumber) {
  Bytes r = MakeFileRecord({ResidentAttribute(kDataType, BytesOf({1, 2}))});
  Bytes expected = r;
  ASSERT_TRUE(ApplyFixups(expected));
  Put16(r, 1022, 0x1234);  // stride 2 from another write
  EXPECT_TRUE(ApplyFixups(r));
  EXPECT_EQ(r, expected);
}

TEST(ApplyFixups, LeavesTheRecordUnchangedWhenThereIsNothingToRestoreOrItIsDamaged) {
  struct Case {
    std::uint16_t offset;
    std::uint16_t count;
    bool ok;
  };
  const Case cases[] = {
      {0x30, 0, true},   {0x30, 1, true},        // nothing to restore
      {0x3FE, 3, false}, {0xFFFF, 3, false},     // array past the record end
      {0x30, 4, false},  {0x30, 0xFFFF, false},  // a stride past the record end
  };
  for (const Case& c : cases) {
    Bytes r = PatternRecord(1024);
    Put16(r, 0x04, c.offset);
    Put16(r, 0x06, c.count);
    const Bytes before = r;
    EXPECT_EQ(ApplyFixups(r), c.ok) << c.offset << " " << c.count;
    EXPECT_EQ(r, before);
  }
  Bytes zeros(1024);
  EXPECT_TRUE(ApplyFixups(zeros));
  EXPECT_EQ(zeros, Bytes(1024));
  Bytes tiny(0x20);
  EXPECT_FALSE(ApplyFixups(tiny));
}

TEST(ReadFileRecordHeader, DecodesTheFieldsInUse) {
  Bytes r = MakeFileRecord({}, {.size = 1024, .flags = 3, .baseReference = 0x0005000000000123});
  auto h = ReadFileRecordHeader(r);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->magic, kFileMagic);
  EXPECT_EQ(h->updateSequenceOffset, 0x30);
  EXPECT_EQ(h->updateSequenceCount, 3);
  EXPECT_EQ(h->firstAttributeOffset, 0x38);
  EXPECT_EQ(h->recordFlags, 3);
  EXPECT_EQ(h->baseFileReference, 0x0005000000000123u);
  EXPECT_TRUE(HasFileMagic(r));
  EXPECT_FALSE(ReadFileRecordHeader(std::span(r).first(0x27)));
  EXPECT_FALSE(HasFileMagic(std::span(r).first(3)));
}

TEST(FindAttribute, ReturnsTheFirstUnnamedOfTheType) {
  Bytes named = ResidentAttribute(kDataType, BytesOf({1}), u"ads");
  Bytes unnamed = ResidentAttribute(kDataType, BytesOf({2, 3}));
  Bytes second = ResidentAttribute(kDataType, BytesOf({4}));
  Bytes name = ResidentAttribute(kFileNameType, FileNameValueBytes(5, u"a"));
  Bytes r = MakeFileRecord({name, named, unnamed, second});
  ASSERT_TRUE(ApplyFixups(r));
  auto found = FindAttribute(r, kDataType);
  ASSERT_TRUE(found);
  EXPECT_EQ(Bytes(found->ResidentValue().begin(), found->ResidentValue().end()), BytesOf({2, 3}));

  Bytes allNamed = MakeFileRecord({named, name});
  ASSERT_TRUE(ApplyFixups(allNamed));
  EXPECT_FALSE(FindAttribute(allNamed, kDataType));
  EXPECT_FALSE(FindAttribute(MakeFileRecord({}), kFileNameType));

  std::size_t namedCount = 0;
  WalkAttributes(r, [&](const AttributeRecord& a) {
    if (a.header.nameLength != 0) {
      EXPECT_EQ(AttributeName(a), u"ads");
      ++namedCount;
    }
    return false;
  });
  EXPECT_EQ(namedCount, 1u);
}

// Each damage sits in the first attribute; the walk must end there, without
// reading outside the record, and never reach the good $DATA behind it.
TEST(FindAttribute, StopsAtADamagedAttribute) {
  struct Case {
    const char* what;
    std::size_t field;  // offset inside the first attribute
    int width;
    std::uint64_t value;
  };
  const Case cases[] = {
      {"zero length", 0x04, 4, 0},
      {"length below a header", 0x04, 4, 0x10},
      {"length leaving the record", 0x04, 4, 0x10000},
      {"length of all ones", 0x04, 4, 0xFFFFFFFF},
      {"value past the attribute", 0x10, 4, 0x100},
      {"value offset past the attribute", 0x14, 2, 0x200},
      {"name past the attribute", 0x09, 1, 0xFF},
  };
  for (const Case& c : cases) {
    Bytes first = ResidentAttribute(kFileNameType, FileNameValueBytes(5, u"abc"));
    if (c.width == 1) first[c.field] = static_cast<std::byte>(c.value);
    if (c.width == 2) Put16(first, c.field, c.value);
    if (c.width == 4) Put32(first, c.field, c.value);
    Bytes r = MakeFileRecord({first, ResidentAttribute(kDataType, BytesOf({9}))});
    ASSERT_TRUE(ApplyFixups(r));
    EXPECT_FALSE(FindAttribute(r, kDataType)) << c.what;
  }

  Bytes offRecord = MakeFileRecord({ResidentAttribute(kDataType, BytesOf({9}))});
  Put16(offRecord, 0x14, 0xFFF0);
  EXPECT_FALSE(FindAttribute(offRecord, kDataType));

  // A record that ends right after a good attribute, without an end marker.
  Bytes r = MakeFileRecord({ResidentAttribute(kFileNameType, Bytes(8))}, {.protect = false});
  Bytes cut(r.begin(), r.begin() + 0x38 + 0x20);
  EXPECT_FALSE(FindAttribute(cut, kDataType));
}

TEST(FindAttribute, RefusesADamagedNonResidentHeader) {
  NonResidentLayout layout{
      .runs = BytesOf({0x11, 2, 10, 0}), .lastVcn = 1, .allocatedSize = 8192, .dataSize = 5000};
  Bytes ok = NonResidentAttribute(layout);
  Bytes shortHeader = ok;
  Put32(shortHeader, 0x04, 0x38);
  Bytes runsOutside = ok;
  Put16(runsOutside, 0x20, ok.size() + 8);
  Bytes runsInHeader = ok;
  Put16(runsInHeader, 0x20, 0x18);
  for (const Bytes& a : {shortHeader, runsOutside, runsInHeader}) {
    Bytes r = MakeFileRecord({a});
    ASSERT_TRUE(ApplyFixups(r));
    EXPECT_FALSE(FindAttribute(r, kDataType));
  }
  Bytes r = MakeFileRecord({ok});
  ASSERT_TRUE(ApplyFixups(r));
  auto found = FindAttribute(r, kDataType);
  ASSERT_TRUE(found);
  EXPECT_EQ(AttributeValueSize(*found), 5000u);
  EXPECT_EQ(AttributeAllocatedSize(*found), 8192u);
  EXPECT_EQ(found->MappingPairs().size(), ok.size() - 0x40);
}

TEST(AttributeValueSize, ResidentEmptyValueIsZero) {
  Bytes r = MakeFileRecord({ResidentAttribute(kDataType, {})});
  ASSERT_TRUE(ApplyFixups(r));
  auto found = FindAttribute(r, kDataType);
  ASSERT_TRUE(found);
  EXPECT_EQ(AttributeValueSize(*found), 0u);
  EXPECT_EQ(AttributeAllocatedSize(*found), 0u);
}

TEST(ReadFileNameValue, DecodesAndRefusesEveryTruncation) {
  const Bytes value = FileNameValueBytes(0x0001000000000005, u"name.txt", 0x1122334455);
  Bytes r = MakeFileRecord({ResidentAttribute(kFileNameType, value)});
  ASSERT_TRUE(ApplyFixups(r));
  auto attribute = FindAttribute(r, kFileNameType);
  ASSERT_TRUE(attribute);
  auto name = ReadFileNameValue(*attribute);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->parentReference, 0x0001000000000005u);
  EXPECT_EQ(name->realSize, 0x1122334455u);
  EXPECT_EQ(name->fileName, u"name.txt");

  for (std::size_t length = 0; length < value.size(); ++length) {
    Bytes cut = MakeFileRecord(
        {ResidentAttribute(kFileNameType, Bytes(value.begin(), value.begin() + length))});
    ASSERT_TRUE(ApplyFixups(cut));
    auto a = FindAttribute(cut, kFileNameType);
    ASSERT_TRUE(a);
    EXPECT_FALSE(ReadFileNameValue(*a)) << length;
  }
  NonResidentLayout layout{.type = kFileNameType, .runs = BytesOf({0})};
  Bytes nr = MakeFileRecord({NonResidentAttribute(layout)});
  ASSERT_TRUE(ApplyFixups(nr));
  EXPECT_FALSE(ReadFileNameValue(*FindAttribute(nr, kFileNameType)));
}

// The long name an 8.3 name stands beside: only for a DOS name, only the
// Win32 name in the same directory.
TEST(PairedLongName, FindsTheWin32NameBesideADosNameInTheSameDirectory) {
  auto name = [](std::uint64_t parent, std::u16string_view text, std::uint8_t space) {
    return ResidentAttribute(kFileNameType, FileNameValueBytes(parent, text, 0, space));
  };
  struct Case {
    const char* label;
    std::vector<Bytes> attributes;
    std::optional<std::u16string> expected;
  };
  const Case cases[] = {
      {"DOS then Win32", {name(0x0001000000000005, u"LONGNA~1.TXT", 2),
                          name(0x0001000000000005, u"Long Name.txt", 1)}, u"Long Name.txt"},
      {"parents compared without the sequence number",
       {name(0x0001000000000005, u"LONGNA~1.TXT", 2), name(0x0007000000000005, u"Long.txt", 1)},
       u"Long.txt"},
      {"a Win32 name has no pair", {name(5, u"Long Name.txt", 1), name(5, u"LONGNA~1.TXT", 2)},
       std::nullopt},
      {"a POSIX link beside a Win32 one", {name(5, u"a.txt", 0), name(5, u"b.txt", 1)},
       std::nullopt},
      {"the partner in another directory", {name(5, u"LONGNA~1.TXT", 2), name(6, u"Long.txt", 1)},
       std::nullopt},
      {"no partner", {name(5, u"LONGNA~1.TXT", 2)}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bytes r = MakeFileRecord(c.attributes);
    ASSERT_TRUE(ApplyFixups(r));
    std::optional<FileNameValue> first = ReadFileNameValue(*FindAttribute(r, kFileNameType));
    ASSERT_TRUE(first);
    EXPECT_EQ(PairedLongName(r, *first), c.expected);
  }
}

}  // namespace
}  // namespace sondrel
