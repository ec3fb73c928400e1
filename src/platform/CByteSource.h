// The bytes a file is written with, handed out piece by piece: stored bytes as they lie in memory, or a
// Zstandard frame decoded into a fixed buffer as it is written, so that the writer's memory stays the same
// whatever the file's size. The memory a source was given is read in its Next and IsHeldBy only, and, for
// stored bytes, which Next hands out as they lie, by the write of each piece.
//
//   CMemorySource source(pData, cbData);
//   file.Write(source, &e);
#pragma once

#include "CString.h"

class CTargetFolder;

class CByteSource
{
public:
    virtual ~CByteSource() {}
    // How many bytes it gives in all.
    ULONGLONG GetLength() const { return m_cbLength; }
    // Starts again at the first byte; FALSE, with a Win32 error, when it cannot.
    virtual BOOL Rewind(DWORD* pdwError) = 0;
    // The next piece: *ppb and *pcb, valid until the next call; *pcb is 0 after the last. FALSE, with a Win32
    // error, when the bytes cannot be had: what came before them was handed out whole. Only after Rewind.
    virtual BOOL Next(const BYTE** ppb, DWORD* pcb, DWORD* pdwError) = 0;
    // TRUE when the target that the way held leads to exists and holds exactly these bytes already. Where
    // the next piece would come from is then unknown, until Rewind.
    virtual BOOL IsHeldBy(const CTargetFolder& folder) = 0;

protected:
    CByteSource() : m_cbLength(0) {}
    ULONGLONG m_cbLength;
};

// Bytes in memory, handed out in one piece.
class CMemorySource : public CByteSource
{
public:
    CMemorySource() : m_pbData(NULL), m_bGiven(FALSE) {}
    CMemorySource(const void* pData, DWORD cbData) { Attach(pData, cbData); }
    void Attach(const void* pData, DWORD cbData);

    BOOL Rewind(DWORD* pdwError) override;
    BOOL Next(const BYTE** ppb, DWORD* pcb, DWORD* pdwError) override;
    BOOL IsHeldBy(const CTargetFolder& folder) override;

private:
    const BYTE* m_pbData;
    BOOL m_bGiven;
};

// A Zstandard frame, decoded into a buffer of its own a piece at a time, with a window of at most
// 2^nWindowLogMax bytes. What it decodes to must have the length and the XXH64 that the caller knows:
// anything else fails Next, as a frame the decoder cannot read does, with ERROR_INVALID_DATA.
class CZstdSource : public CByteSource
{
public:
    CZstdSource()
        : m_pbFrame(NULL), m_cbFrame(0), m_ullHash(0), m_nWindowLogMax(0), m_pDecoder(NULL), m_pbBuffer(NULL),
          m_pState(NULL), m_cbFrameRead(0), m_cbDecoded(0), m_bEnded(FALSE)
    {
    }
    ~CZstdSource();
    CZstdSource(const CZstdSource&) = delete;
    CZstdSource& operator=(const CZstdSource&) = delete;
    void Attach(const void* pFrame, DWORD cbFrame, ULONGLONG cbDecoded, ULONGLONG ullHash, int nWindowLogMax);

    BOOL Rewind(DWORD* pdwError) override;
    BOOL Next(const BYTE** ppb, DWORD* pcb, DWORD* pdwError) override;
    // Compares the file's first bytes with the frame's start, decoded, then its length and hash with what
    // the whole frame decodes to, without decoding the rest.
    BOOL IsHeldBy(const CTargetFolder& folder) override;

private:
    void Free();
    // Decodes the frame's next bytes into the buffer, until it holds cbWanted of them or the frame ends, and
    // fails where they are not the database the package recorded.
    BOOL Decode(DWORD cbWanted, DWORD* pcbDecoded, DWORD* pdwError);

    const BYTE* m_pbFrame;
    DWORD m_cbFrame;
    ULONGLONG m_ullHash; // XXH64 of the decoded bytes
    int m_nWindowLogMax;
    void* m_pDecoder;      // ZSTD_DStream, made by Rewind
    BYTE* m_pbBuffer;      // the decoded piece handed out
    void* m_pState;        // XXH64 state over what was handed out
    DWORD m_cbFrameRead;   // how much of the frame the decoder has taken
    ULONGLONG m_cbDecoded; // how much it has given
    BOOL m_bEnded;         // the frame's last block was decoded
};
