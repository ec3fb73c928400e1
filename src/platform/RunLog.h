// The run's log, asked for on the command line by deployment teams: plain text, one line per step, each
// with the local time, appended to a file that several runs (and several machines, on a share) may
// share. Nothing is written while no log is open, and a log that cannot be opened or written is ignored:
// it never changes what a run does. It holds no secret: paths, settings, system errors, never the data.
#pragma once

#include "CString.h"

// Starts appending to pszPath; FALSE, and no log, when it cannot be opened. bOwnFileOnly, for a log in a
// folder that others may write (the system account's temporary folder): the name is opened as itself (never
// what a link of that name leads to) and taken only when it is the running account's own plain file, made
// for the account alone; otherwise the log goes to a new name beside it, which AfxRunLogMovedTo then gives.
// A privileged run (RedirectionGuard.h) opens any log as itself, and keeps none that is a link or a second
// name of another file.
BOOL AfxOpenRunLog(const char* pszPath, BOOL bOwnFileOnly = FALSE);
CString AfxRunLogMovedTo();
BOOL AfxIsLogging();
// One line, formatted as wsprintf does (no 64-bit or floating-point fields); cut at 1,024 characters.
void AfxLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
