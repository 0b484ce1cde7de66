// Names of a volume's entries as its host view serves them. ntfs-3g turns an
// NTFS name (UTF-16, unchecked) into name bytes with its own UTF-8 coder, which
// gives an unpaired surrogate a three-byte sequence of its own, and reads name
// bytes back the same way. These two functions do exactly what it does, so an
// entry is asked for by the very bytes the view lists it under.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sondrel {

// Appends the UTF-8 bytes of one code point (a lone surrogate included, as its
// own three-byte sequence).
void AppendUtf8(std::uint32_t codePoint, std::string* out);

// The host name bytes of one path component: UTF-8 where the component is
// valid UTF-16; an unpaired surrogate becomes its own three-byte sequence.
// nullopt when the component cannot name an entry on the host: empty, "." or
// "..", or holding '/' or U+0000.
std::optional<std::string> EncodeHostName(std::u16string_view component);

// The UTF-16 name host name bytes stand for (a readdir d_name, an 8.3 name
// attribute's value): UTF-8 whose three-byte sequences may carry surrogates,
// as the encoder above writes them; a separately encoded surrogate pair joins
// up as ntfs-3g's reader does. nullopt for bytes it would refuse: an overlong
// or truncated sequence, a stray continuation byte, a value past U+10FFFF, or
// a zero byte.
std::optional<std::u16string> DecodeHostName(std::string_view bytes);

}  // namespace sondrel
