// The pictures at the display's scale (the executable declares itself DPI-aware, so Windows does not
// stretch its window).
#include "dialog/QuillbrookDlg.h"

// The dialog's size follows the system font, which grows with the display's scale, while a bitmap keeps
// its pixels: at 96 dpi the banner and the rule are exactly as wide as the dialog, at 150 % they would
// stop two thirds of the way across. So wherever the dialog is not as wide as they are, each is redrawn
// at the dialog's width, its height in proportion; at 96 dpi the template's own bitmaps stay.
void CQuillbrookDlg::FitPicturesToDisplayScale()
{
    static const UINT kPictures[] = {IDB_BANNER, IDB_RULE}; // the picture controls, in template order
    RECT rcClient;
    GetClientRect(&rcClient);
    const int cxDialog = rcClient.right - rcClient.left;

    int nPicture = 0;
    for (HWND hChild = ::GetWindow(m_hWnd, GW_CHILD); hChild != NULL && nPicture < 2;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT))
    {
        char szClass[8] = "";
        ::GetClassNameA(hChild, szClass, sizeof szClass);
        if (lstrcmpiA(szClass, "Static") != 0 ||
            (::GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP)
            continue;
        CBitmap& bmp = m_bmpPictures[nPicture];
        const UINT nIDResource = kPictures[nPicture++];
        RECT rcPicture;
        ::GetWindowRect(hChild, &rcPicture);
        if (rcPicture.right - rcPicture.left == cxDialog || !bmp.LoadBitmapAtWidth(nIDResource, cxDialog))
            continue;
        // The control takes the new bitmap's size. The one it loaded from the template is the program's
        // to free once replaced; the new one stays the dialog's until the dialog object goes.
        HGDIOBJ hReplaced =
            (HGDIOBJ)::SendMessageA(hChild, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)bmp.GetSafeHandle());
        if (hReplaced != NULL && hReplaced != bmp.GetSafeHandle())
            AfxDeleteObject(hReplaced);
    }
}
