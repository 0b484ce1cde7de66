// The path walk and the directory view over the fake platform: parent links,
// names (control characters, backslashes, drive-like components), loops and
// deep chains, and directory listings, all from the input.
//
// Input: a sequence of operations, each a byte then its arguments:
//   0  a record: parent (u16), name length (u8), name bytes
//   1  a chain: count (u16, at most 300), parent of its first record (u16),
//      one name byte; each record's parent is the one added before it
//   2  a listing entry: directory record (u16), long and short name, each a
//      length (u8) and bytes; listed under that record's path
// Records are numbered from 1 in the order added; record 1 named "." is the
// root. Names are Latin-1, one UTF-16 unit per byte. Invariants: a path is
// the same from a fresh builder and view (the kept prefixes and expansions
// change nothing), a printed path holds no control character, a path that does
// not reach the root is never looked up, and the kept texts stay within their
// bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "names/DirectoryView.h"
#include "names/PathBuilder.h"
#include "ntfs/VolumeContext.h"
#include "platform/FakePlatform.h"
#include "scan/PrintablePath.h"

namespace {

constexpr std::size_t kMaxRecords = 1024;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
  std::string Text() {
    std::size_t length = U8();
    std::string text;
    while (length-- > 0 && !empty()) text.push_back(static_cast<char>(U8()));
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct Record {
  std::uint32_t parent;
  std::string name;
};

std::u16string WideOf(std::string_view name) {
  std::u16string wide;
  for (char byte : name) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
  return wide;
}

void Seed(sondrel::PathBuilder& paths, const std::vector<Record>& records) {
  for (std::uint32_t n = 1; n < records.size(); ++n) {
    sondrel::ParentLink link;
    link.parentRecord = records[n].parent;
    link.name = records[n].name;
    link.wideName = WideOf(records[n].name);
    paths.parentLinks().Insert(std::to_string(n), std::move(link));
  }
}

bool Printable(std::string_view line, std::uint32_t codePage) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    auto byte = static_cast<unsigned char>(line[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (codePage == sondrel::kCodePageLatin1 && byte >= 0x80 && byte <= 0x9F) return false;
    if (codePage == sondrel::kCodePageUtf8 && byte == 0xC2 && i + 1 < line.size() &&
        static_cast<unsigned char>(line[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(line[i + 1]) <= 0x9F) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  std::vector<Record> records{{0, ""}};  // record 0 is never a parent
  std::vector<std::pair<std::uint32_t, sondrel::FindData>> listed;
  while (!input.empty() && records.size() < kMaxRecords) {
    switch (input.U8() % 3) {
      case 0: {
        std::uint32_t parent = input.U16();
        records.push_back({parent, input.Text()});
        break;
      }
      case 1: {
        std::uint32_t count = input.U16() % 301;
        std::uint32_t parent = input.U16();
        std::string name(1, static_cast<char>(input.U8()));
        for (std::uint32_t i = 0; i < count && records.size() < kMaxRecords; ++i) {
          records.push_back({parent, name});
          parent = static_cast<std::uint32_t>(records.size() - 1);
        }
        break;
      }
      default: {
        std::uint32_t directory = input.U16();
        sondrel::FindData entry;
        entry.cFileName = input.Text();
        entry.cAlternateFileName = input.Text();
        listed.emplace_back(directory, std::move(entry));
        break;
      }
    }
  }

  sondrel::FakePlatform platform;
  sondrel::VolumeContext volume;
  volume.platform = &platform;
  volume.geometry.recordSize = 1024;
  sondrel::PathBuilder paths(volume, platform, 'X');
  Seed(paths, records);
  std::vector<std::string> built(records.size());
  for (std::uint32_t n = 1; n < records.size(); ++n) {
    built[n] = paths.BuildFullPath(records[n].name, records[n].parent);
  }
  for (const auto& [directory, entry] : listed) {
    if (directory < built.size()) platform.directories[built[directory]].push_back(entry);
  }
  platform.directories["X:"].push_back({"X", "x"});

  sondrel::DirectoryView view(platform, paths, 'X');
  std::string line;
  const std::size_t spotEvery = records.size() / 8 + 2;  // about eight per input
  for (std::uint32_t n = 1; n < records.size(); ++n) {
    const std::string& path = built[n];
    const std::u16string name = WideOf(records[n].name);
    const std::uint32_t parent = records[n].parent;
    if (paths.ParentPrefixBytes() > sondrel::kMaxParentPrefixBytes) __builtin_trap();
    const std::size_t searchesBefore = platform.searches.size() + platform.opens.size();
    (void)view.IsVisibleToWin32(parent, name, n);
    (void)view.QueryWin32FileSize(parent, name, n);
    std::string expanded = view.ExpandLongPath(path, records[n].name, parent, name, n);
    const bool rooted = paths.RootedChain(parent).has_value();
    if (!rooted && platform.searches.size() + platform.opens.size() != searchesBefore) {
      __builtin_trap();
    }
    if (view.ExpandedPrefixBytes() > sondrel::DirectoryView::kMaxExpandedPrefixBytes) {
      __builtin_trap();
    }
    // Spot checks against a builder and a view that remember nothing yet.
    if ((n % spotEvery == 1 && path.size() < 4096) || n + 1 == records.size()) {
      sondrel::PathBuilder fresh(volume, platform, 'X');
      Seed(fresh, records);
      if (fresh.BuildFullPath(records[n].name, parent) != path) __builtin_trap();
      sondrel::DirectoryView freshView(platform, fresh, 'X');
      if (freshView.ExpandLongPath(path, records[n].name, parent, name, n) != expanded) __builtin_trap();
    }
    for (std::uint32_t codePage : {sondrel::kCodePageUtf8, sondrel::kCodePageLatin1, 1252u}) {
      line.clear();
      sondrel::AppendPrintablePath(line, expanded, codePage);
      if (!Printable(line, codePage)) __builtin_trap();
    }
    // The fake keeps every search text; a deep chain would make that quadratic.
    platform.searches.clear();
    platform.searchLevels.clear();
    platform.opens.clear();
  }
  return 0;
}
