// Entries that the MFT holds and the directory listing never shows on a
// clean system: NTFS metadata files, the root's own record and a few
// entries below System Volume Information. Dig mode does not report them.
#pragma once

#include <array>
#include <string_view>

namespace sondrel {

// Path tails, each a path without its first two characters (drive, colon).
inline constexpr std::array<std::string_view, 18> kMetadataExclusionList = {
    "\\$MFT",
    "\\$MFTMirr",
    "\\$LogFile",
    "\\$Volume",
    "\\$AttrDef",
    "\\.",
    "\\$Bitmap",
    "\\$Boot",
    "\\$BadClus",
    "\\$Secure",
    "\\$UpCase",
    "\\$Extend",
    "\\$Extend\\$Quota",
    "\\$Extend\\$ObjId",
    "\\$Extend\\$Reparse",
    "\\System Volume Information\\MOUNTP~1",
    "\\System Volume Information\\tracking.log",
    "\\System Volume Information\\_RESTO~1",
};

// True when the path, less its first two characters whatever they are,
// equals a listed tail whole, ignoring ASCII case. False for paths of 3
// characters or fewer.
bool IsSystemMetadataPath(std::string_view path);

}  // namespace sondrel
