// Text in the generator is UTF-8; the package's entries and resource names, and Windows' side of the
// system, are UTF-16. A code unit that is half of a pair on its own (which Windows allows in names and
// command lines) is carried through UTF-8 as its own three-byte sequence, so that whatever the command
// line gives is stamped unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

std::string ToUtf8(std::u16string_view text);
// False when `text` is not UTF-8 (a lone half of a pair, written as above, is taken).
bool FromUtf8(std::string_view text, std::u16string* result);
// For a terminal or a file: the same with every lone half of a pair as U+FFFD.
std::string ValidUtf8(std::string_view text);
// The characters of UTF-8 text, for lining up columns.
size_t CharacterCount(std::string_view text);
// `digits` upper-case hex digits of `value`.
std::string Hex(uint32_t value, int digits);
// part as a share of whole, to a tenth of a percent: "12.1 %".
std::string Percent(uint64_t part, uint64_t whole);
