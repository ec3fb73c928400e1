// Who runs the installer, and what that account may take as its own. Deployment tools run it as the
// system account, administrators elevated: what such a run creates, opens or removes in a folder that
// others may write (the system account's temporary folder is one that every user may create files in)
// must not be turned against it.
#pragma once

#include "CString.h"

// TRUE when the run has an administrator's rights: elevated, or the system account.
BOOL AfxIsElevatedOrSystem();

// TRUE when the running account owns the object (hObject needs READ_CONTROL), or the owner the account gives
// new objects does (the Administrators, for an elevated administrator).
BOOL AfxIsOwnedByRunningAccount(HANDLE hObject);

// TRUE when an object of the file system (hObject needs READ_CONTROL) was made by someone a run with an
// administrator's rights may follow: it is owned by the Administrators, the system account, TrustedInstaller,
// or the running account itself (or the owner it gives new objects). A junction or link owned by anyone
// else may have been planted by a user to send the run elsewhere. *pstrOwner (when given) receives the
// owner's name, or its SID where no name is known, for the log.
BOOL AfxIsMadeByAdministrators(HANDLE hObject, CString* pstrOwner = NULL);

// TRUE for an object (hObject needs READ_CONTROL) that only administrators can change so: it is made by them
// (above), and its permissions give nobody else any of the rights, nor the right to give himself them.
BOOL AfxOnlyAdministratorsMay(HANDLE hObject, ACCESS_MASK rights);

// Security for a file that holds someone's data while we work with it: only the running account, the
// system account and the Administrators may open it, whatever its folder would pass on. NULL when it
// cannot be made.
SECURITY_ATTRIBUTES* AfxOwnerOnlySecurity();
