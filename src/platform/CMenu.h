// A menu wrapper, only as far as appending items.
#pragma once

#include <windows.h>

class CMenu
{
public:
    CMenu() : m_hMenu(NULL) {}

    // A temporary object for hMenu, valid until the next call; NULL for a NULL handle.
    static CMenu* FromHandle(HMENU hMenu)
    {
        static CMenu s_temporary;
        if (hMenu == NULL)
            return NULL;
        s_temporary.m_hMenu = hMenu;
        return &s_temporary;
    }

    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const char* lpszNewItem = NULL)
    {
        return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
    }

    HMENU m_hMenu;
};
