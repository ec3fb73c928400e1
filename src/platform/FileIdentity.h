// What a new file must take from the file it replaces to be the same file to everyone: who owns it and
// who may do what with it, its attributes, its creation time.
//
// Kept: the owner, the primary group and the DACL exactly as they are, the entries the old file once
// inherited from its folder included, none of them worked out anew (worked out anew, entries given to
// CREATOR OWNER would go to whoever runs the update); whether the DACL is protected from inheriting; the
// hidden, system, not-indexed and temporary attributes; the creation time. What the file system keeps of
// the owner and the DACL is read back and must be what was given.
// Kept too, or else the file is written in place: the integrity label and the entries of central access
// policies (both in the SACL, but readable without the right to audit), read back as the permissions are.
// Not kept, where the file system has them: the SACL's audit entries, the object ID used by link tracking,
// the short 8.3 name, compression set on the file alone (the new file is compressed
// as its folder says). A file with named streams, or an encrypted one (or one whose folder would encrypt
// the new file, for the installing account alone), is not replaced at all.
#pragma once

#include <windows.h>

// Gives hNew what hOld has. bMayWriteSecurity: hNew was opened with WRITE_DAC and WRITE_OWNER (a share
// that grants only "Change" gives neither); without them hNew must already have hOld's owner and DACL.
// FALSE when hNew cannot be made the same file as hOld, or the file system cannot say whether it has been:
// the old file must then be written in place.
BOOL GiveIdentity(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity);
