#include "CBitmap.h"
#include "LibraryFunction.h"
#include "SystemCalls.h"

#include <math.h>
#include <stddef.h>

namespace
{
typedef HBITMAP(WINAPI* PFNCREATEDIBSECTION)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD);
typedef BOOL(WINAPI* PFNDELETEOBJECT)(HGDIOBJ);

// Anything larger is not a picture of a dialog, and its buffers are not worth trying.
const int kMaxSide = 16384;

// Catmull-Rom's cubic: as sharp as a smooth filter gets without the halos of wider ones. At the same size
// it gives every pixel back unchanged, and it never smears one pixel over two as pixel doubling would.
float Cubic(float x)
{
    x = fabsf(x);
    if (x < 1)
        return (1.5f * x - 2.5f) * x * x + 1;
    if (x < 2)
        return ((-0.5f * x + 2.5f) * x - 4) * x + 2;
    return 0;
}

// One axis of the resampling: for each pixel drawn, the first source pixel it takes from and the
// weights of the nTaps source pixels from there on. Pixels past the picture's edges repeat the edge.
struct Axis
{
    int nSource;
    int nTaps;
    int* pnFirst;
    float* pWeights;

    int Source(int n) const { return n < 0 ? 0 : n >= nSource ? nSource - 1 : n; }
};

void* Allocate(SIZE_T cb)
{
    return ::HeapAlloc(GetProcessHeap(), 0, cb);
}

void Free(void* p)
{
    if (p != NULL)
        ::HeapFree(GetProcessHeap(), 0, p);
}

BOOL MakeAxis(int nSource, int nDrawn, Axis* pAxis)
{
    // Shrinking, the filter widens with the ratio so that every source pixel counts and a thin line
    // fades instead of vanishing.
    const float fRatio = (float)nSource / (float)nDrawn;
    const float fWidth = fRatio > 1 ? fRatio : 1;
    const float fReach = 2 * fWidth;
    pAxis->nSource = nSource;
    pAxis->nTaps = (int)ceilf(2 * fReach) + 1;
    pAxis->pnFirst = (int*)Allocate(sizeof(int) * nDrawn);
    pAxis->pWeights = (float*)Allocate(sizeof(float) * nDrawn * pAxis->nTaps);
    if (pAxis->pnFirst == NULL || pAxis->pWeights == NULL)
        return FALSE;
    for (int i = 0; i < nDrawn; i++)
    {
        // Pixel centres line up: the drawn picture covers the source exactly, edge to edge.
        const float fCentre = ((float)i + 0.5f) * fRatio - 0.5f;
        const int nFirst = (int)ceilf(fCentre - fReach);
        float* pWeights = pAxis->pWeights + i * pAxis->nTaps;
        float fSum = 0;
        for (int k = 0; k < pAxis->nTaps; k++)
            fSum += pWeights[k] = Cubic(((float)(nFirst + k) - fCentre) / fWidth);
        for (int k = 0; k < pAxis->nTaps; k++)
            pWeights[k] /= fSum;
        pAxis->pnFirst[i] = nFirst;
    }
    return TRUE;
}

BYTE ToByte(float f)
{
    return f <= 0 ? 0 : f >= 255 ? 255 : (BYTE)(f + 0.5f);
}

// Draws the source's three-byte pixels (rows from the top, each nSourceStride bytes) into pDrawn (cx x cy,
// rows from the top, each nDrawnStride bytes), one axis at a time.
BOOL Resample(const BYTE* pSource, int cxSource, int cySource, int nSourceStride, BYTE* pDrawn, int cx,
              int cy, int nDrawnStride)
{
    Axis across = {}, down = {};
    float* pRows = (float*)Allocate(sizeof(float) * 3 * cx * cySource);
    BOOL bMade = pRows != NULL && MakeAxis(cxSource, cx, &across) && MakeAxis(cySource, cy, &down);
    if (bMade)
    {
        for (int y = 0; y < cySource; y++)
        {
            const BYTE* pLine = pSource + (ptrdiff_t)y * nSourceStride;
            float* pOut = pRows + (SIZE_T)y * cx * 3;
            for (int x = 0; x < cx; x++)
            {
                const float* pWeights = across.pWeights + x * across.nTaps;
                float fSum[3] = {0, 0, 0};
                for (int k = 0; k < across.nTaps; k++)
                {
                    const BYTE* pPixel = pLine + across.Source(across.pnFirst[x] + k) * 3;
                    for (int c = 0; c < 3; c++)
                        fSum[c] += pWeights[k] * pPixel[c];
                }
                for (int c = 0; c < 3; c++)
                    pOut[x * 3 + c] = fSum[c];
            }
        }
        for (int y = 0; y < cy; y++)
        {
            const float* pWeights = down.pWeights + y * down.nTaps;
            BYTE* pOut = pDrawn + (SIZE_T)y * nDrawnStride;
            for (int i = 0; i < cx * 3; i++)
            {
                float fSum = 0;
                for (int k = 0; k < down.nTaps; k++)
                    fSum += pWeights[k] * pRows[(SIZE_T)down.Source(down.pnFirst[y] + k) * cx * 3 + i];
                pOut[i] = ToByte(fSum);
            }
        }
    }
    Free(across.pnFirst);
    Free(across.pWeights);
    Free(down.pnFirst);
    Free(down.pWeights);
    Free(pRows);
    return bMade;
}

int Stride(int cx)
{
    return (cx * 3 + 3) & ~3;
}
} // namespace

BOOL AfxDeleteObject(HGDIOBJ hObject)
{
    auto pfnDeleteObject = AfxLibraryFunction<PFNDELETEOBJECT>("gdi32.dll", "DeleteObject");
    return hObject != NULL && pfnDeleteObject != NULL && pfnDeleteObject(hObject);
}

BOOL CBitmap::DeleteObject()
{
    BOOL bDeleted = AfxDeleteObject(m_hObject);
    m_hObject = NULL;
    return bDeleted;
}

BOOL CBitmap::LoadBitmapAtWidth(UINT nIDResource, int cx)
{
    DeleteObject();
    HMODULE hModule = GetModuleHandleA(NULL);
    HRSRC hResInfo = sys.FindResourceA(hModule, MAKEINTRESOURCEA(nIDResource), (LPCSTR)RT_BITMAP);
    HGLOBAL hResData = hResInfo ? sys.LoadResource(hModule, hResInfo) : NULL;
    const BYTE* pResource = hResData ? (const BYTE*)sys.LockResource(hResData) : NULL;
    const DWORD cbResource = hResInfo ? sys.SizeofResource(hModule, hResInfo) : 0;
    if (pResource == NULL || cbResource < sizeof(BITMAPINFOHEADER))
        return FALSE;

    // Only the plain form the art is kept in: 24 bits a pixel, uncompressed, rows from either end.
    const BITMAPINFOHEADER* pHeader = (const BITMAPINFOHEADER*)pResource;
    const int cxSource = pHeader->biWidth;
    const int cySource = pHeader->biHeight < 0 ? -pHeader->biHeight : pHeader->biHeight;
    if (pHeader->biSize < sizeof(BITMAPINFOHEADER) || pHeader->biPlanes != 1 || pHeader->biBitCount != 24 ||
        pHeader->biCompression != BI_RGB || pHeader->biClrUsed > 256 || cxSource <= 0 ||
        cxSource > kMaxSide || cySource <= 0 || cySource > kMaxSide || cx <= 0 || cx > kMaxSide)
        return FALSE;
    const ULONGLONG cbPixelsAt = pHeader->biSize + 4ull * pHeader->biClrUsed;
    if (cbPixelsAt + (ULONGLONG)Stride(cxSource) * cySource > cbResource)
        return FALSE;
    int cy = MulDiv(cySource, cx, cxSource);
    if (cy < 1)
        cy = 1;
    if (cy > kMaxSide)
        return FALSE;

    // The source is read from the top down whichever way it is stored.
    const BYTE* pTopRow = pResource + cbPixelsAt;
    int nSourceStride = Stride(cxSource);
    if (pHeader->biHeight > 0)
    {
        pTopRow += (SIZE_T)(cySource - 1) * nSourceStride;
        nSourceStride = -nSourceStride;
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = cx;
    info.bmiHeader.biHeight = -cy; // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    auto pfnCreateDIBSection = AfxLibraryFunction<PFNCREATEDIBSECTION>("gdi32.dll", "CreateDIBSection");
    void* pBits = NULL;
    HBITMAP hBitmap =
        pfnCreateDIBSection ? pfnCreateDIBSection(NULL, &info, DIB_RGB_COLORS, &pBits, NULL, 0) : NULL;
    if (hBitmap == NULL)
        return FALSE;
    if (!Resample(pTopRow, cxSource, cySource, nSourceStride, (BYTE*)pBits, cx, cy, Stride(cx)))
    {
        AfxDeleteObject(hBitmap);
        return FALSE;
    }
    m_hObject = hBitmap;
    return TRUE;
}
