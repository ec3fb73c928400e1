// How the tools give up: one line for the user, and the exit status that says whose fault it is.
#pragma once

#include <string>
#include <utility>

// The exit statuses, as --help and docs/publishing.md list them.
enum PackStatus
{
    kStatusFailed = 1,          // a file could not be read or written, or is no usable executable
    kStatusUsage = 2,           // the command line, a setting included
    kStatusWouldNotInstall = 3, // --show: the installer would refuse the package
};

struct PackError
{
    std::string message; // UTF-8
    int status;
};

[[noreturn]] inline void Fail(std::string message)
{
    throw PackError{std::move(message), kStatusFailed};
}

[[noreturn]] inline void FailUsage(std::string message)
{
    throw PackError{std::move(message), kStatusUsage};
}
