// Message maps. A map is the body of the class's OnWndMsg: its entries are tested in the order written,
// the first that matches handles the message, and anything unmatched goes on to the base class's map.
//
//   BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//       ON_WM_PAINT()                            // void OnPaint()
//       ON_BN_CLICKED(IDC_GO, &CMyDlg::OnGo)     // void OnGo()
//   END_MESSAGE_MAP()
#pragma once

#include "CCmdTarget.h"

#define DECLARE_MESSAGE_MAP()                                                                                \
public:                                                                                                      \
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                               \
    BOOL theClass::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)                    \
    {                                                                                                        \
        typedef baseClass TheBaseClass;

#define END_MESSAGE_MAP()                                                                                    \
    return TheBaseClass::OnWndMsg(message, wParam, lParam, pResult);                                         \
    }

// void memberFxn(): a menu command, accelerator or button click with this id.
#define ON_COMMAND(id, memberFxn)                                                                            \
    if (message == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == 0)                              \
    {                                                                                                        \
        (this->*(memberFxn))();                                                                              \
        return TRUE;                                                                                         \
    }

// void memberFxn(): the button with this id was clicked.
#define ON_BN_CLICKED(id, memberFxn)                                                                         \
    if (message == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == BN_CLICKED)                     \
    {                                                                                                        \
        (this->*(memberFxn))();                                                                              \
        return TRUE;                                                                                         \
    }

// void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                                                   \
    if (message == WM_SYSCOMMAND)                                                                            \
    {                                                                                                        \
        OnSysCommand((UINT)wParam, lParam);                                                                  \
        return TRUE;                                                                                         \
    }

// void OnPaint()
#define ON_WM_PAINT()                                                                                        \
    if (message == WM_PAINT)                                                                                 \
    {                                                                                                        \
        OnPaint();                                                                                           \
        return TRUE;                                                                                         \
    }

// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                                                \
    if (message == WM_QUERYDRAGICON)                                                                         \
    {                                                                                                        \
        *pResult = (LRESULT)OnQueryDragIcon();                                                               \
        return TRUE;                                                                                         \
    }

// void OnClose()
#define ON_WM_CLOSE()                                                                                        \
    if (message == WM_CLOSE)                                                                                 \
    {                                                                                                        \
        OnClose();                                                                                           \
        return TRUE;                                                                                         \
    }

// LRESULT memberFxn(WPARAM wParam, LPARAM lParam): a message of the application's own (WM_APP and up).
#define ON_MESSAGE(msg, memberFxn)                                                                           \
    if (message == (msg))                                                                                    \
    {                                                                                                        \
        *pResult = (this->*(memberFxn))(wParam, lParam);                                                     \
        return TRUE;                                                                                         \
    }
