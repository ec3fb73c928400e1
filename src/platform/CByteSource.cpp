#include "CByteSource.h"
#include "CFile.h"
#include "MappedRead.h"

#include <stdlib.h>
#include <string.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace
{
// Each decoded piece is one write. Large enough that a write's cost is the bytes, not the call; small
// enough that it adds little to the decoder's own window.
const DWORD kDecodedPiece = 1u << 20;
// Files are hashed in the pieces CFile::HasContents compares in.
const DWORD kHashedPiece = 64u << 10;
static_assert(2 * kHashedPiece <= kDecodedPiece, "IsHeldBy reads a file behind the first piece decoded");
} // namespace

void CMemorySource::Attach(const void* pData, DWORD cbData)
{
    m_pbData = (const BYTE*)pData;
    m_cbLength = cbData;
    m_bGiven = FALSE;
}

BOOL CMemorySource::Rewind(DWORD*)
{
    m_bGiven = FALSE;
    return TRUE;
}

BOOL CMemorySource::Next(const BYTE** ppb, DWORD* pcb, DWORD*)
{
    // The writer cuts it into the pieces it writes.
    *ppb = m_pbData;
    *pcb = m_bGiven ? 0 : (DWORD)m_cbLength;
    m_bGiven = TRUE;
    return TRUE;
}

BOOL CMemorySource::IsHeldBy(const CTargetFolder& folder)
{
    return CFile::HasContents(folder, m_pbData, (DWORD)m_cbLength);
}

CZstdSource::~CZstdSource()
{
    Free();
}

void CZstdSource::Free()
{
    ZSTD_freeDStream((ZSTD_DStream*)m_pDecoder);
    m_pDecoder = NULL;
    XXH64_freeState((XXH64_state_t*)m_pState);
    m_pState = NULL;
    free(m_pbBuffer);
    m_pbBuffer = NULL;
}

void CZstdSource::Attach(const void* pFrame, DWORD cbFrame, ULONGLONG cbDecoded, ULONGLONG ullHash,
                         int nWindowLogMax)
{
    m_nWindowLogMax = nWindowLogMax;
    Free();
    m_pbFrame = (const BYTE*)pFrame;
    m_cbFrame = cbFrame;
    m_cbLength = cbDecoded;
    m_ullHash = ullHash;
}

BOOL CZstdSource::Rewind(DWORD* pdwError)
{
    if (m_pDecoder == NULL)
    {
        m_pDecoder = ZSTD_createDStream();
        m_pState = XXH64_createState();
        m_pbBuffer = (BYTE*)malloc(kDecodedPiece);
    }
    // The window is bounded here too, so that no frame can make the decoder take more memory than its
    // caller let through.
    ZSTD_DStream* pDecoder = (ZSTD_DStream*)m_pDecoder;
    if (pDecoder == NULL || m_pState == NULL || m_pbBuffer == NULL ||
        ZSTD_isError(ZSTD_DCtx_reset(pDecoder, ZSTD_reset_session_and_parameters)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(pDecoder, ZSTD_d_windowLogMax, m_nWindowLogMax)))
    {
        Free();
        *pdwError = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    XXH64_reset((XXH64_state_t*)m_pState, 0);
    m_cbFrameRead = 0;
    m_cbDecoded = 0;
    m_bEnded = FALSE;
    return TRUE;
}

BOOL CZstdSource::Decode(DWORD cbWanted, DWORD* pcbDecoded, DWORD* pdwError)
{
    *pcbDecoded = 0;
    ZSTD_outBuffer output = {m_pbBuffer, cbWanted, 0};
    ZSTD_inBuffer input = {m_pbFrame, m_cbFrame, m_cbFrameRead};
    // Until the piece is full or the frame ends: the decoder may give less than it could at a block's end.
    // The frame is read from the package's mapped image, which a dropped share cannot page in: the decoder
    // is then left where it stood, and only freed.
    size_t cbHint = 1;
    const BOOL bRead = AfxReadMapped(m_pbFrame, m_cbFrame, [&] {
        while (!m_bEnded && !ZSTD_isError(cbHint) && cbHint != 0 && output.pos < output.size)
        {
            cbHint = ZSTD_decompressStream((ZSTD_DStream*)m_pDecoder, &output, &input);
            // A frame cut short: the decoder waits for bytes that will never come.
            if (!ZSTD_isError(cbHint) && cbHint != 0 && input.pos == input.size && output.pos < output.size)
                break;
        }
    });
    if (!bRead || ZSTD_isError(cbHint))
    {
        *pdwError = !bRead                                                      ? AfxMappedReadError()
                    : ZSTD_getErrorCode(cbHint) == ZSTD_error_memory_allocation ? ERROR_NOT_ENOUGH_MEMORY
                                                                                : ERROR_INVALID_DATA;
        Free();
        return FALSE;
    }
    m_bEnded = m_bEnded || cbHint == 0;
    m_cbFrameRead = (DWORD)input.pos;
    const DWORD cbPiece = (DWORD)output.pos;
    m_cbDecoded += cbPiece;
    XXH64_update((XXH64_state_t*)m_pState, m_pbBuffer, cbPiece);
    // Whatever decodes to another length or other bytes than the package recorded is not its database; a
    // piece short of what was wanted before the frame's end is a frame cut short.
    const bool bOver = m_cbDecoded > m_cbLength || (cbPiece < cbWanted && !m_bEnded);
    const bool bWrongAtEnd = m_bEnded && (m_cbDecoded != m_cbLength || m_cbFrameRead != m_cbFrame ||
                                          XXH64_digest((XXH64_state_t*)m_pState) != m_ullHash);
    if (bOver || bWrongAtEnd)
    {
        *pdwError = ERROR_INVALID_DATA;
        return FALSE;
    }
    *pcbDecoded = cbPiece;
    return TRUE;
}

BOOL CZstdSource::Next(const BYTE** ppb, DWORD* pcb, DWORD* pdwError)
{
    *ppb = m_pbBuffer;
    return Decode(kDecodedPiece, pcb, pdwError);
}

BOOL CZstdSource::IsHeldBy(const CTargetFolder& folder)
{
    CFile file;
    if (!file.OpenToCompare(folder, m_cbLength))
        return FALSE;
    // A target of the database's size with other bytes is told apart by its first piece, as a stored
    // database's is, without reading it whole: over a share, that would be one more read of the database
    // for every install. The frame's start decodes in a fraction of that time; the writes that follow
    // start the decoder again. A frame that cannot be decoded holds no target, and fails the write.
    DWORD dwError = ERROR_SUCCESS, cbFirst = 0;
    const DWORD cbWanted = m_cbLength < kHashedPiece ? (DWORD)m_cbLength : kHashedPiece;
    if (!Rewind(&dwError) || !Decode(cbWanted, &cbFirst, &dwError) || cbFirst != cbWanted)
        return FALSE;
    // The file is read behind the piece decoded, and hashed in the state the writes reset when they start.
    XXH64_reset((XXH64_state_t*)m_pState, 0);
    BYTE* pbRead = m_pbBuffer + kHashedPiece;
    ULONGLONG cbDone = 0;
    CFileException error;
    DWORD cbRead = 0;
    while (cbDone < m_cbLength && file.Read(pbRead, kHashedPiece, &cbRead, &error) && cbRead != 0 &&
           cbRead <= m_cbLength - cbDone)
    {
        const DWORD cbLeftOfFirst = cbDone < cbFirst ? cbFirst - (DWORD)cbDone : 0;
        if (cbLeftOfFirst != 0 &&
            memcmp(pbRead, m_pbBuffer + cbDone, cbLeftOfFirst < cbRead ? cbLeftOfFirst : cbRead) != 0)
            break;
        XXH64_update((XXH64_state_t*)m_pState, pbRead, cbRead);
        cbDone += cbRead;
    }
    return cbDone == m_cbLength && XXH64_digest((XXH64_state_t*)m_pState) == m_ullHash;
}
