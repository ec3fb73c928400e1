// Everything the application code uses of the framework.
#pragma once

#include <windows.h>

#include "CString.h"
#include "CommandLineInfo.h"
#include "CWinApp.h"
#include "CWnd.h"
#include "CDialog.h"
#include "CMenu.h"
#include "CPaintDC.h"
#include "CBitmap.h"
#include "MessageMap.h"
