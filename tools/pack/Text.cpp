#include "pack/Text.h"

namespace
{
void Append(std::string& out, char32_t ch)
{
    if (ch < 0x80)
        out += (char)ch;
    else if (ch < 0x800)
        out += {(char)(0xC0 | ch >> 6), (char)(0x80 | (ch & 0x3F))};
    else if (ch < 0x10000)
        out += {(char)(0xE0 | ch >> 12), (char)(0x80 | ((ch >> 6) & 0x3F)), (char)(0x80 | (ch & 0x3F))};
    else
        out += {(char)(0xF0 | ch >> 18), (char)(0x80 | ((ch >> 12) & 0x3F)),
                (char)(0x80 | ((ch >> 6) & 0x3F)), (char)(0x80 | (ch & 0x3F))};
}

// The character at `at`, moving past it; false for bytes that do not begin a UTF-8 sequence, for overlong
// forms and for values past U+10FFFF.
bool Next(std::string_view text, size_t& at, char32_t* ch)
{
    const unsigned char lead = (unsigned char)text[at];
    const int length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
    if (length == 0 || text.size() - at < (size_t)length)
        return false;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; i++)
    {
        const unsigned char next = (unsigned char)text[at + i];
        if ((next & 0xC0) != 0x80)
            return false;
        value = value << 6 | (next & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF)
        return false;
    at += length;
    *ch = value;
    return true;
}

bool IsSurrogate(char32_t ch)
{
    return ch >= 0xD800 && ch < 0xE000;
}
} // namespace

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
    {
        char32_t ch = text[i];
        if (ch >= 0xD800 && ch < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            ch = 0x10000 + ((ch - 0xD800) << 10) + (text[++i] - 0xDC00);
        Append(out, ch);
    }
    return out;
}

bool FromUtf8(std::string_view text, std::u16string* result)
{
    result->clear();
    for (size_t at = 0; at < text.size();)
    {
        char32_t ch;
        if (!Next(text, at, &ch))
            return false;
        if (ch < 0x10000)
            *result += (char16_t)ch;
        else
            *result +=
                {(char16_t)(0xD800 + ((ch - 0x10000) >> 10)), (char16_t)(0xDC00 + ((ch - 0x10000) & 0x3FF))};
    }
    return true;
}

std::string ValidUtf8(std::string_view text)
{
    std::string out;
    for (size_t at = 0; at < text.size();)
    {
        char32_t ch;
        if (!Next(text, at, &ch))
        {
            ch = 0xFFFD;
            at++;
        }
        Append(out, IsSurrogate(ch) ? 0xFFFD : ch);
    }
    return out;
}

size_t CharacterCount(std::string_view text)
{
    size_t count = 0;
    for (char ch : text)
        count += ((unsigned char)ch & 0xC0) != 0x80;
    return count;
}

std::string Hex(uint32_t value, int digits)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(digits, '0');
    for (int i = digits - 1; i >= 0; i--, value >>= 4)
        text[i] = kDigits[value & 0xF];
    return text;
}

std::string Percent(uint64_t part, uint64_t whole)
{
    const uint64_t tenths = whole == 0 ? 0 : (part * 1000 + whole / 2) / whole;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " %";
}
