// A junction or a link that someone without an administrator's rights made on the way to a file (in the
// shared data folder, or a folder that every user may change) would send a privileged run's writes and
// deletions wherever it leads. Such a run is one with an administrator's rights (elevated, or the system
// account), or a standard user's run into the data folder that all users share, where another user may
// have made the package's folder first.
//
// Such a run checks the way to its files itself (CTargetFolder.h): it follows only the junctions and
// symbolic links that administrators or its own account made, on every Windows. Where the system offers
// RedirectionGuard (recent Windows 10 and 11), it is switched on too, for junctions the run meets anywhere
// else: an open that meets one a non-administrator made fails with ERROR_UNTRUSTED_MOUNT_POINT, as any file
// that cannot be opened. The guard covers junctions only, neither symbolic nor hard links.
#pragma once

#include <windows.h>

// The system's own error for a junction it will not follow; MinGW's headers lack it.
constexpr DWORD ERROR_UNTRUSTED_MOUNT_POINT_ = 448;

enum RedirectionGuardState
{
    REDIRECTION_GUARD_NOT_NEEDED, // the run has no more rights than whoever could plant a link
    REDIRECTION_GUARD_ON,
    REDIRECTION_GUARD_UNAVAILABLE, // the system lacks it, or did not take it
};

// Decides whether the run is a privileged one (above) and, if so, switches the guard on for the rest of the
// process. Called first thing in the process, before any file is opened, and again with bWritesSharedData
// once the package says that the run writes in the data folder all users share.
void AfxGuardRedirections(BOOL bWritesSharedData = FALSE);
RedirectionGuardState AfxRedirectionGuardState();
// What the state means, for the log.
const char* AfxRedirectionGuardText();
// Whether the run checks junctions and links on the way to its files itself: a privileged run, guard or not.
BOOL AfxChecksLinksOnTheWay();
