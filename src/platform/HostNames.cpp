#include "platform/HostNames.h"

#include <cstdint>

namespace sondrel {
namespace {

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The continuation bytes of one sequence: their 6-bit payloads, or nullopt
// when the bytes run out or one is not 10xxxxxx.
std::optional<std::uint32_t> Continuation(std::string_view bytes, std::size_t at, std::size_t count,
                                          std::uint32_t lead) {
  if (at > bytes.size() || count > bytes.size() - at) return std::nullopt;
  std::uint32_t value = lead;
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + i]);
    if ((byte & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte & 0x3Fu);
  }
  return value;
}

}  // namespace

void AppendUtf8(std::uint32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

std::optional<std::string> EncodeHostName(std::u16string_view component) {
  if (component.empty() || component == u"." || component == u"..") return std::nullopt;
  std::string out;
  out.reserve(component.size());
  for (std::size_t i = 0; i < component.size(); ++i) {
    const std::uint32_t unit = component[i];
    if (unit == 0 || unit == u'/') return std::nullopt;
    if (IsHighSurrogate(unit) && i + 1 < component.size() && IsLowSurrogate(component[i + 1])) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (component[i + 1] - 0xDC00u), &out);
      ++i;
    } else {
      AppendUtf8(unit, &out);  // a lone surrogate too: ntfs-3g writes it as it is
    }
  }
  return out;
}

std::optional<std::u16string> DecodeHostName(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::optional<std::uint32_t> value;
    std::size_t length = 1;
    if (lead == 0) {
      return std::nullopt;
    } else if (lead < 0x80) {
      value = lead;
    } else if (lead < 0xC2) {
      return std::nullopt;  // a stray continuation byte, or an overlong two-byte lead
    } else if (lead < 0xE0) {
      length = 2;
      value = Continuation(bytes, at + 1, 1, lead & 0x1Fu);
    } else if (lead < 0xF0) {
      length = 3;
      value = Continuation(bytes, at + 1, 2, lead & 0x0Fu);
      if (value && *value < 0x800) return std::nullopt;  // overlong; surrogates pass
    } else if (lead < 0xF5) {
      length = 4;
      value = Continuation(bytes, at + 1, 3, lead & 0x07u);
      if (value && (*value < 0x10000 || *value > 0x10FFFF)) return std::nullopt;
    }
    if (!value) return std::nullopt;
    if (*value < 0x10000) {
      out.push_back(static_cast<char16_t>(*value));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((*value - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((*value - 0x10000) & 0x3FF)));
    }
    at += length;
  }
  return out;
}

}  // namespace sondrel
