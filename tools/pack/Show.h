// What a publisher checks before shipping a package: every entry as the installer will read it.
#pragma once

#include <string>

// Throws PackError when the package cannot be read.
std::wstring DescribePackage(const std::wstring& path);
