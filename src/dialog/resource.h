// Resource ids of the installer's own resources. The package's entries are in package/PackageIds.h.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUILLBROOK_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_RULE 132
#define IDB_BANNER 133

#define IDC_BROWSE 1001
#define IDC_TARGET_PATH 1002

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The About entry appended to the window menu.
#define IDM_ABOUTBOX 0x0010
