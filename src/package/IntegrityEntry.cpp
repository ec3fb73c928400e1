#include "package/IntegrityEntry.h"
#include "package/PackageIds.h"

#include <stdint.h>
#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define QB_HAVE_CRC32_INSTRUCTION 1
#endif

const PackageEntryId kCheckedPackageEntries[CHECKED_ENTRY_COUNT] = {
    {PACKAGE_PAYLOAD_TYPE, MDB_DATABASE},     {PACKAGE_SETTING_TYPE, REG_SETTINGS_KEY},
    {PACKAGE_SETTING_TYPE, REG_PATH_VALUE},   {PACKAGE_SETTING_TYPE, REG_USE_SHARED_FOLDER},
    {PACKAGE_SETTING_TYPE, REG_COUNTRY_KEY},  {PACKAGE_SETTING_TYPE, REG_TARIFF_DATE},
    {PACKAGE_SETTING_TYPE, REG_COUNTRY_CODE}, {PACKAGE_COMPRESSED_PAYLOAD_TYPE, MDB_DATABASE},
};

namespace
{
// CRC-32C works on the "register": the CRC before its final inversion. Polynomials are written reflected,
// as the crc32 instruction reads them: bit 31 is the coefficient of x^0, bit 0 that of x^31.
constexpr DWORD kPolynomial = 0x82F63B78;

constexpr DWORD Load32(const BYTE* pb)
{
    return (DWORD)pb[0] | (DWORD)pb[1] << 8 | (DWORD)pb[2] << 16 | (DWORD)pb[3] << 24;
}

// ---- Portable: slicing by 8 ----

// aTable[0][b] is the register after the byte b; aTable[k][b] after b followed by k zero bytes, so that
// eight bytes cost eight independent look-ups instead of eight dependent ones.
struct SlicingTables
{
    DWORD aTable[8][256];
};

constexpr SlicingTables MakeSlicingTables()
{
    SlicingTables tables = {};
    for (DWORD b = 0; b < 256; b++)
    {
        DWORD reg = b;
        for (int bit = 0; bit < 8; bit++)
            reg = (reg >> 1) ^ ((0 - (reg & 1)) & kPolynomial);
        tables.aTable[0][b] = reg;
    }
    for (int k = 1; k < 8; k++)
        for (DWORD b = 0; b < 256; b++)
        {
            const DWORD reg = tables.aTable[k - 1][b];
            tables.aTable[k][b] = (reg >> 8) ^ tables.aTable[0][reg & 0xFF];
        }
    return tables;
}

constexpr SlicingTables kSlicing = MakeSlicingTables();

DWORD UpdatePortable(DWORD reg, const BYTE* pb, size_t cb)
{
    const DWORD(&t)[8][256] = kSlicing.aTable;
    for (; cb >= 8; pb += 8, cb -= 8)
    {
        const DWORD lo = reg ^ Load32(pb), hi = Load32(pb + 4);
        reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; cb > 0; pb++, cb--)
        reg = (reg >> 8) ^ t[0][(reg ^ *pb) & 0xFF];
    return reg;
}

#ifdef QB_HAVE_CRC32_INSTRUCTION
// ---- SSE4.2: the crc32 instruction on three interleaved streams ----

// a * b modulo the polynomial, both reflected.
constexpr DWORD MultiplyModP(DWORD a, DWORD b)
{
    DWORD product = 0;
    for (int i = 0; i < 32; i++, a <<= 1)
    {
        product ^= (0 - (a >> 31)) & b;               // a's coefficient of x^i times b
        b = (b >> 1) ^ ((0 - (b & 1)) & kPolynomial); // b times x
    }
    return product;
}

// x^n modulo the polynomial, by squaring.
constexpr DWORD XPowerModP(uint64_t n)
{
    DWORD result = 0x80000000, square = 0x40000000; // 1 and x
    for (; n != 0; n >>= 1, square = MultiplyModP(square, square))
        if (n & 1)
            result = MultiplyModP(result, square);
    return result;
}

// The instruction takes three cycles to give its result, yet the processor starts a new one every cycle:
// one register alone leaves it idle two cycles in three. Three streams over adjacent blocks keep it busy;
// their registers are then joined: the register of A followed by B is the register of A moved past
// len(B) zero bytes (a multiplication by x^(8 len(B))), xor the register of B started from zero. Blocks
// are long so that the two multiplications per round cost nothing next to the round.
constexpr size_t kStreamBytes = 16384;
constexpr DWORD kPastOneStream = XPowerModP(8 * kStreamBytes);

#ifdef __x86_64__
typedef unsigned long long Word;
__attribute__((target("sse4.2"))) inline DWORD Step(DWORD reg, const BYTE* pb)
{
    Word w;
    memcpy(&w, pb, sizeof w);
    return (DWORD)__builtin_ia32_crc32di(reg, w);
}
#else
typedef unsigned int Word;
__attribute__((target("sse4.2"))) inline DWORD Step(DWORD reg, const BYTE* pb)
{
    Word w;
    memcpy(&w, pb, sizeof w);
    return __builtin_ia32_crc32si(reg, w);
}
#endif

__attribute__((target("sse4.2"))) DWORD UpdateHardware(DWORD reg, const BYTE* pb, size_t cb)
{
    // Aligned words never straddle two cache lines.
    for (; cb > 0 && ((uintptr_t)pb & (sizeof(Word) - 1)) != 0; pb++, cb--)
        reg = __builtin_ia32_crc32qi(reg, *pb);

    for (; cb >= 3 * kStreamBytes; pb += 3 * kStreamBytes, cb -= 3 * kStreamBytes)
    {
        DWORD a = reg, b = 0, c = 0;
        for (size_t i = 0; i < kStreamBytes; i += sizeof(Word))
        {
            a = Step(a, pb + i);
            b = Step(b, pb + kStreamBytes + i);
            c = Step(c, pb + 2 * kStreamBytes + i);
        }
        reg = MultiplyModP(MultiplyModP(a, kPastOneStream) ^ b, kPastOneStream) ^ c;
    }

    for (; cb >= sizeof(Word); pb += sizeof(Word), cb -= sizeof(Word))
        reg = Step(reg, pb);
    for (; cb > 0; pb++, cb--)
        reg = __builtin_ia32_crc32qi(reg, *pb);
    return reg;
}

// Asked once; the answer cannot change while the process runs.
bool HasSse42()
{
    static int s_nSse42 = -1;
    if (s_nSse42 < 0)
    {
        unsigned int eax, ebx, ecx, edx;
        s_nSse42 = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSE4_2) != 0 ? 1 : 0;
    }
    return s_nSse42 != 0;
}
#endif

void PutLittleEndian(BYTE* pb, ULONGLONG ullValue, int cb)
{
    for (int i = 0; i < cb; i++, ullValue >>= 8)
        pb[i] = (BYTE)ullValue;
}

ULONGLONG GetLittleEndian(const BYTE* pb, int cb)
{
    ULONGLONG ullValue = 0;
    for (int i = cb - 1; i >= 0; i--)
        ullValue = ullValue << 8 | pb[i];
    return ullValue;
}

const BYTE kStoredVersion = 1;
const BYTE kCompressedVersion = 2;
const BYTE kPlaceholder[INTEGRITY_ENTRY_SIZE] = {'Q', 'B', 'I', 0, 0, 0, 0, 0};

// The decoded size and hash as version 2 stamps and checks them.
void PutDecoded(BYTE* pb, const DecodedPayload& decoded)
{
    PutLittleEndian(pb, decoded.cbSize, 8);
    PutLittleEndian(pb + 8, decoded.ullHash, 8);
}
} // namespace

DWORD Crc32c(DWORD crc, const void* pData, size_t cbData)
{
#ifdef QB_HAVE_CRC32_INSTRUCTION
    if (HasSse42())
        return ~UpdateHardware(~crc, (const BYTE*)pData, cbData);
#endif
    return ~UpdatePortable(~crc, (const BYTE*)pData, cbData);
}

DWORD Crc32cPortable(DWORD crc, const void* pData, size_t cbData)
{
    return ~UpdatePortable(~crc, (const BYTE*)pData, cbData);
}

DWORD PackageChecksum(const PackageEntryView aEntries[CHECKED_ENTRY_COUNT], const DecodedPayload* pDecoded)
{
    const BYTE bVersion = pDecoded != NULL ? kCompressedVersion : kStoredVersion;
    DWORD crc = Crc32c(0, &bVersion, 1);
    for (int i = 0; i < (pDecoded != NULL ? CHECKED_ENTRY_COUNT : COMPRESSED_PAYLOAD_ENTRY); i++)
    {
        const PackageEntryId& id = kCheckedPackageEntries[i];
        const PackageEntryView& entry = aEntries[i];
        crc = Crc32c(crc, id.pszType, strlen(id.pszType) + 1);

        BYTE abHeader[7];
        PutLittleEndian(abHeader, id.nID, 2);
        abHeader[2] = entry.bPresent ? 1 : 0;
        PutLittleEndian(abHeader + 3, entry.cbData, 4);
        crc = Crc32c(crc, abHeader, entry.bPresent ? 7 : 3);
        if (entry.bPresent)
            crc = Crc32c(crc, entry.pData, entry.cbData);
    }
    if (pDecoded != NULL)
    {
        BYTE abDecoded[16];
        PutDecoded(abDecoded, *pDecoded);
        crc = Crc32c(crc, abDecoded, sizeof abDecoded);
    }
    return crc;
}

DWORD MakeIntegrityEntry(const PackageEntryView aEntries[CHECKED_ENTRY_COUNT], const DecodedPayload* pDecoded,
                         BYTE abEntry[INTEGRITY_ENTRY_V2_SIZE])
{
    memcpy(abEntry, kPlaceholder, 3);
    abEntry[3] = pDecoded != NULL ? kCompressedVersion : kStoredVersion;
    PutLittleEndian(abEntry + 4, PackageChecksum(aEntries, pDecoded), 4);
    if (pDecoded == NULL)
        return INTEGRITY_ENTRY_SIZE;
    PutDecoded(abEntry + 8, *pDecoded);
    return INTEGRITY_ENTRY_V2_SIZE;
}

IntegrityState CheckIntegrityEntry(const void* pEntry, DWORD cbEntry,
                                   const PackageEntryView aEntries[CHECKED_ENTRY_COUNT],
                                   DecodedPayload* pDecoded)
{
    // Which payload the package carries decides the version that may cover it: a package that tools
    // unaware of compression stamped, or left unstamped, cannot carry a compressed one; and one that
    // carries both would have the installer choose between two databases.
    const bool bCompressed = aEntries[COMPRESSED_PAYLOAD_ENTRY].bPresent;
    if (pEntry == NULL || (bCompressed && aEntries[0].bPresent))
        return INTEGRITY_MISMATCH;
    const DWORD cbExpected = bCompressed ? INTEGRITY_ENTRY_V2_SIZE : INTEGRITY_ENTRY_SIZE;
    if (!bCompressed && cbEntry == INTEGRITY_ENTRY_SIZE &&
        memcmp(pEntry, kPlaceholder, INTEGRITY_ENTRY_SIZE) == 0)
        return INTEGRITY_UNSTAMPED;
    // The version is looked at first, so that an entry no checksum can match costs no pass over the payload.
    const BYTE* pb = (const BYTE*)pEntry;
    if (cbEntry != cbExpected || memcmp(pb, kPlaceholder, 3) != 0 ||
        pb[3] != (bCompressed ? kCompressedVersion : kStoredVersion))
        return INTEGRITY_MISMATCH;
    DecodedPayload decoded = {};
    if (bCompressed)
        ReadDecodedPayload(pb, cbEntry, &decoded);
    BYTE abExpected[INTEGRITY_ENTRY_V2_SIZE];
    MakeIntegrityEntry(aEntries, bCompressed ? &decoded : NULL, abExpected);
    if (memcmp(pb, abExpected, cbExpected) != 0)
        return INTEGRITY_MISMATCH;
    if (pDecoded != NULL && bCompressed)
        *pDecoded = decoded;
    return INTEGRITY_MATCHES;
}

BOOL ReadDecodedPayload(const void* pEntry, DWORD cbEntry, DecodedPayload* pDecoded)
{
    const BYTE* pb = (const BYTE*)pEntry;
    if (pb == NULL || cbEntry != INTEGRITY_ENTRY_V2_SIZE || memcmp(pb, kPlaceholder, 3) != 0 ||
        pb[3] != kCompressedVersion)
        return FALSE;
    pDecoded->cbSize = GetLittleEndian(pb + 8, 8);
    pDecoded->ullHash = GetLittleEndian(pb + 16, 8);
    return TRUE;
}
