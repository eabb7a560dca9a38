// The one conversion between the program's UTF-8 texts and the CP950 (Big5) bytes of the wire.
// Conversions refuse what the other side cannot hold; nothing is ever silently dropped.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wire {

// UTF-8 → CP950 bytes; none when the text is not valid UTF-8 or holds a character CP950 lacks.
std::optional<std::string> toBig5(std::string_view utf8);
// CP950 bytes → UTF-8; none when the bytes are not valid CP950.
std::optional<std::string> fromBig5(std::string_view big5);
// True when toBig5 would succeed.
bool representableInBig5(std::string_view utf8);
// Length of the text in CP950 bytes (a Chinese character counts two); -1 when not representable.
long big5Length(std::string_view utf8);

}  // namespace wire
