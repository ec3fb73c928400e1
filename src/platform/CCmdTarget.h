// Base of everything a message map can be written for: windows and the application object.
#pragma once

#include <windows.h>

#define afx_msg

class CCmdTarget
{
public:
    virtual ~CCmdTarget() {}

    // The message map: returns TRUE, with the result in *pResult, when the message was handled.
    virtual BOOL OnWndMsg(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/, LRESULT* /*pResult*/)
    {
        return FALSE;
    }
};
