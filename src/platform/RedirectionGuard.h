// A junction or a link that someone without an administrator's rights made on the way to a file (in the
// shared data folder, or a folder that every user may change) would send a privileged run's writes and
// deletions wherever it leads. Where the system offers it (RedirectionGuard), a run with an
// administrator's rights follows only the junctions and links that administrators made; an open that
// meets another fails with ERROR_UNTRUSTED_MOUNT_POINT, as any file that cannot be opened.
#pragma once

enum RedirectionGuardState
{
    REDIRECTION_GUARD_NOT_NEEDED, // the run has no more rights than whoever could plant a link
    REDIRECTION_GUARD_ON,
    REDIRECTION_GUARD_UNAVAILABLE, // the system lacks it, or did not take it
};

// Switches it on for the rest of the process when the run is elevated or the system account. Called
// first thing in the process, before any file is opened; AfxRedirectionGuardState says what came of it.
void AfxGuardRedirections();
RedirectionGuardState AfxRedirectionGuardState();
