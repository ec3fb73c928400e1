// Making a package: a copy of the fixed executable with the entries the command line gives.
#pragma once

#include "pack/Options.h"

// Throws PackError. The package at options.out is either complete or not there (nor is any temporary
// file); an existing file there is replaced only by a complete package. Warnings go to the error output.
void MakePackage(const Options& options);
