#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace celvan {

// Byte-level tokenizers see text as bytes, each shown as one printable
// character so that vocabularies hold no spaces or control bytes: the 188
// printable Latin-1 bytes stand for themselves and the other 68, in ascending
// order, take U+0100 onwards (the space 0x20 is U+0120 "Ġ").
//
// byteEncoder()[b] is the UTF-8 of the character that stands for byte b.
const std::array<std::string, 256>& byteEncoder();

// The inverse table: character (as UTF-8) to byte.
const std::unordered_map<std::string, uint8_t>& byteDecoder();

// The byte a single character stands for, if it stands for one.
std::optional<uint8_t> decodedByte(char32_t character);

} // namespace celvan
