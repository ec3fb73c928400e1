// Text for the user. A console gets UTF-16 as it is; a pipe or a file gets UTF-8 with CRLF line ends, so
// that accented texts survive redirection.
#pragma once

#include <string>

void WriteOut(const std::wstring& text);
void WriteErr(const std::wstring& text);
std::string ToUtf8(const std::wstring& text);
