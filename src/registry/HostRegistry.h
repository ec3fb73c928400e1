// The host application's string settings in the registry. The host announces its reduced edition,
// light mode, through named shared memory; while it is on, every setting is looked for first, and
// written, under its name with the prefix "#LIGHT#".
//
// These functions keep no state: each call probes the mode afresh and opens and closes its own keys.
// Failures are silent: a read falls back to strDefault, a write returns 0.
#pragma once

#include "platform/CString.h"

// TRUE while the host's "Dravik ModeLight" mapping exists and its first 32-bit word is nonzero.
BOOL IsHostLightMode();

// The value strValueName under strSubKey (no hive prefix), searched under HKEY_CURRENT_USER (where the
// key must open with KEY_ALL_ACCESS) and then HKEY_LOCAL_MACHINE; in light mode "#LIGHT#" + the name is
// tried before the plain name in each hive. strDefault when neither hive has the value. A string comes
// back in the ANSI code page, an expandable one (REG_EXPAND_SZ) with its environment variables put in;
// *pbWhole (when given) is FALSE when a character of it has no place in that code page and stands as '?'.
// Data of other types come back as their bytes up to the first zero byte.
CString ReadRegistryString(CString strSubKey, CString strValueName, CString strDefault, BOOL* pbWhole = NULL);

// Stores strData as REG_SZ under strSubKey in HKEY_LOCAL_MACHINE (bMachineWide nonzero) or
// HKEY_CURRENT_USER, creating the key when needed. In light mode the value goes to HKEY_CURRENT_USER
// under "#LIGHT#" + the name, unless the name already carries the prefix. Returns 1 when stored; 0 when
// not, with the system's error code for GetLastError.
int WriteRegistryString(CString strSubKey, CString strValueName, CString strData, int bMachineWide);
