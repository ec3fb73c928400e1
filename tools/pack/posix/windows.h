// The few Windows types that the installer's shared package headers name (package/PackageIds.h,
// package/IntegrityEntry.h, package/CompressedPayload.h), as Windows defines them, for the generator's
// build on other systems. Anything more of Windows there is a mistake, and fails to compile.
#pragma once

#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uint64_t ULONGLONG;

#define TRUE 1
#define FALSE 0
