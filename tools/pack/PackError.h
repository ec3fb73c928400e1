// How the tools give up: one line for the user, and whether the command line was at fault (exit status 2)
// rather than the files it named (exit status 1).
#pragma once

#include <string>
#include <utility>

struct PackError
{
    std::wstring message;
    bool usage;
};

[[noreturn]] inline void Fail(std::wstring message)
{
    throw PackError{std::move(message), false};
}

[[noreturn]] inline void FailUsage(std::wstring message)
{
    throw PackError{std::move(message), true};
}
