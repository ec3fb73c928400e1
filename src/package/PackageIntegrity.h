// Whether the running package is the one its generator made: checked against its integrity entry
// (IntegrityEntry.h, which the generator shares) before anything of it is shown, followed or touched.
#pragma once

#include "package/IntegrityEntry.h"

// FALSE when the package's integrity entry says that its payload or its settings are not what the
// generator stamped, or when the entry itself is missing or damaged, or when its bytes could not be read
// (AfxMappedReadError says why). A package stamped by a tool that does not know the entry (it still carries
// the fixed executable's placeholder) counts as intact; *pbStamped (when given) tells it from one that
// matches its entry.
BOOL IsPackageIntact(BOOL* pbStamped = NULL);

// What the package's compressed payload decodes to, as its integrity entry records it; FALSE when the
// package carries no version-2 entry. The entry was checked with the package (IsPackageIntact).
BOOL LoadDecodedPayload(DecodedPayload* pDecoded);
