// A bitmap the program draws for the display's scale, freed with its object.
#pragma once

#include <windows.h>

class CBitmap
{
public:
    CBitmap() : m_hObject(NULL) {}
    ~CBitmap() { DeleteObject(); }
    CBitmap(const CBitmap&) = delete;
    CBitmap& operator=(const CBitmap&) = delete;

    // The module's 24-bit bitmap nIDResource redrawn cx pixels wide, its height in proportion (at least
    // one pixel), through a bicubic filter. FALSE, holding nothing, when the resource is missing or not a
    // plain 24-bit bitmap, or the system cannot make the bitmap.
    BOOL LoadBitmapAtWidth(UINT nIDResource, int cx);
    BOOL DeleteObject();

    HBITMAP GetSafeHandle() const { return m_hObject; }

    HBITMAP m_hObject;
};

// Frees a GDI object that the program owns (gdi32 is loaded when a run first draws).
BOOL AfxDeleteObject(HGDIOBJ hObject);
