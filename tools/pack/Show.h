// What a publisher checks before shipping a package: every entry as the installer will read it.
#pragma once

#include <string>

// Throws PackError when the package cannot be read. Sets `refusal` to why the installer would refuse the
// package, or leaves it empty when the installer would install it.
std::string DescribePackage(const std::string& path, std::string* refusal);
