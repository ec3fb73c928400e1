#include "SampleDatabase.h"

#include <cstring>

namespace
{
// splitmix64: fast, and good enough that no byte value dominates the file.
class Random
{
public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return (uint32_t)(Next() % n); }
    void Fill(uint8_t* p, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            p[i] = (uint8_t)(Next() >> 24);
    }

private:
    uint64_t state_;
};

void Put16(uint8_t* p, uint32_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}

void Put32(uint8_t* p, uint32_t value)
{
    Put16(p, value);
    Put16(p + 2, value >> 16);
}

// Text in a Jet 4 row is UTF-16: a price list's names are Latin-1 letters, each followed by a zero byte.
class RowWriter
{
public:
    explicit RowWriter(uint8_t* row) : row_(row) {}
    size_t size() const { return size_; }
    uint8_t* here() { return row_ + size_; }
    void Byte(uint8_t b) { row_[size_++] = b; }
    void U16(uint32_t v) { Put16(here(), v), size_ += 2; }
    void U32(uint32_t v) { Put32(here(), v), size_ += 4; }
    void Bytes(const void* p, size_t n) { std::memcpy(here(), p, n), size_ += n; }
    void Char(char ch) { U16((uint8_t)ch); }
    void Text(const char* text)
    {
        while (*text != '\0')
            Char(*text++);
    }
    void Number(uint32_t n, int minDigits = 1)
    {
        char digits[10];
        int count = 0;
        do
            digits[count++] = (char)('0' + n % 10);
        while ((n /= 10) != 0 || count < minDigits);
        while (count > 0)
            Char(digits[--count]);
    }

private:
    uint8_t* row_;
    size_t size_ = 0;
};

// Latin-1, written in octal escapes: a hex escape would swallow the letters after it.
const char* const kArticles[] = {
    "Vis",        "Ecrou",   "Rondelle", "Cheville", "Boulon",  "Tige filet\351e", "Equerre", "Charni\350re",
    "Poign\351e", "Serrure", "Cylindre", "Joint",    "Raccord", "Coude",           "Manchon", "Collier",
    "Colle",      "Mastic",  "Vernis",   "Pinceau",  "Rouleau", "B\342che",        "Crochet", "Piton",
    "Cadenas",    "Verrou",  "Gond",     "Agrafe",   "Clou",    "Pointe",
};
const char* const kQualities[] = {
    "inox",           "acier",        "zingu\351",          "laiton",        "bichromat\351",
    "noir",           "blanc",        "t\352te frais\351e", "t\352te ronde", "\340 bois",
    "\340 m\351taux", "autoperceuse", "renforc\351",        "nylon",
};
const char* const kUnits[] = {"pi\350ce", "bo\356te de 100", "sachet de 50", "m\350tre", "kg", "lot de 10"};
const char* const kSuppliers[] = {"FX", "HB", "KL", "MR", "SP", "WT"};

template <class T, size_t N> const char* Pick(Random& random, T (&words)[N])
{
    return words[random.Below(N)];
}

// Rows per data page, and data pages per index page: a price list is written in article order, and its
// index lists each data page's articles.
constexpr uint32_t kRowsPerPage = 24;
constexpr uint32_t kPagesPerIndex = 32;
constexpr uint32_t kFirstDataPage = 3;

// The articles of a data page: numbered in order, a few numbers left out where articles were withdrawn.
uint32_t FirstArticle(uint32_t pageNumber)
{
    return 100000 + (pageNumber - kFirstDataPage) * (kRowsPerPage + 2);
}

// One row of the price list: fixed columns (article number, price in ten-thousandths, the list's tariff
// date as an OLE date, discount), then the variable ones (code, description, unit) and their offsets. A
// list is priced in cents, dated once, and discounted in steps of 5 %.
size_t MakeRow(Random& random, uint32_t article, uint8_t* row)
{
    RowWriter w(row);
    w.U16(7);
    w.U32(article);
    const uint64_t price = (uint64_t)(random.Below(random.Below(4) == 0 ? 99999 : 2999) + 5) * 100;
    w.U32((uint32_t)price);
    w.U32((uint32_t)(price >> 32));
    const double date = 45300.0; // 2024-01-09
    w.Bytes(&date, sizeof date);
    w.U16(500 * random.Below(7));

    const char* article_name = Pick(random, kArticles);
    const char* quality = Pick(random, kQualities);
    size_t offsets[4];
    offsets[0] = w.size();
    w.Text(kSuppliers[article % (sizeof kSuppliers / sizeof *kSuppliers)]);
    w.Char('-');
    w.Number(article, 7);

    offsets[1] = w.size();
    w.Text(article_name);
    w.Char(' ');
    w.Text(quality);
    switch (random.Below(3))
    {
    case 0:
        w.Text(" M"), w.Number(2 * random.Below(10) + 4);
        break;
    case 1:
        w.Char(' '), w.Number(random.Below(6) + 3), w.Char('x'), w.Number(10 * random.Below(12) + 10);
        break;
    default:
        w.Text(" \330"), w.Number(2 * random.Below(20) + 4), w.Text(" mm");
        break;
    }

    offsets[2] = w.size();
    w.Text(Pick(random, kUnits));
    offsets[3] = w.size();

    for (int i = 3; i >= 0; i--)
        w.U16((uint32_t)offsets[i]);
    w.U16(3);
    w.Byte(0x7F); // null mask: every column has a value
    return w.size();
}

void MakeHeaderPage(Random& random, uint8_t* page)
{
    static const char kSignature[20] = "\x00\x01\x00\x00Standard Jet DB";
    std::memcpy(page, kSignature, sizeof kSignature);
    Put32(page + 0x14, 1); // Jet 4
    random.Fill(page + 0x18, kJetPageSize - 0x18);
}

void MakeUsageMap(uint32_t pageCount, uint8_t* page)
{
    page[0] = 0x05;
    page[1] = 0x01;
    uint8_t* bitmap = page + 0x0E;
    const uint32_t bits = (uint32_t)(kJetPageSize - 0x0E) * 8;
    for (uint32_t i = 0; i < pageCount && i < bits; i++)
        bitmap[i / 8] |= (uint8_t)(1u << (i % 8));
}

void MakeTableDefinition(uint8_t* page)
{
    static const char* const kColumns[] = {"Article",   "Code",   "Designation", "Prix",
                                           "DateTarif", "Remise", "Unite"};
    static const uint8_t kTypes[] = {0x04, 0x0A, 0x0A, 0x05, 0x08, 0x03, 0x0A};
    page[0] = 0x02;
    page[1] = 0x01;
    page[2] = 'V';
    page[3] = 'C';
    uint8_t* p = page + 0x2B;
    for (int i = 0; i < 7; i++)
    {
        p[0] = kTypes[i];
        Put16(p + 1, (uint32_t)i);
        p += 25;
    }
    for (const char* name : kColumns)
    {
        size_t n = std::strlen(name);
        Put16(p, (uint32_t)(2 * n));
        for (size_t i = 0; i < n; i++)
            Put16(p + 2 + 2 * i, (uint8_t)name[i]);
        p += 2 + 2 * n;
    }
}

// Rows from the end of the page down, their offsets from the header up, the free space between (zeros).
void MakeDataPage(Random& random, uint32_t pageNumber, uint8_t* page)
{
    page[0] = 0x01;
    page[1] = 0x01;
    Put32(page + 4, 2); // the table definition's page
    uint32_t rows = 0;
    size_t top = kJetPageSize;
    uint8_t row[256];
    const uint32_t first = FirstArticle(pageNumber);
    for (uint32_t article = first; rows < kRowsPerPage; article++)
    {
        if (random.Below(13) == 0)
            continue; // withdrawn
        const size_t size = MakeRow(random, article, row);
        if (0x0E + 2 * (rows + 1) + size > top)
            break;
        top -= size;
        std::memcpy(page + top, row, size);
        Put16(page + 0x0E + 2 * rows, (uint32_t)top);
        rows++;
    }
    Put16(page + 2, (uint32_t)(top - (0x0E + 2 * rows)));
    Put16(page + 0x0C, rows);
}

// An index leaf over the article numbers of the data pages before it: each entry the key (flagged,
// big-endian, as Jet sorts them), then the data page and row it leads to.
void MakeIndexPage(uint32_t pageNumber, uint8_t* page)
{
    page[0] = 0x04;
    page[1] = 0x01;
    Put32(page + 4, 2);
    uint8_t* p = page + 0x1E0;
    uint32_t entries = 0;
    for (uint32_t data = pageNumber - kPagesPerIndex; data < pageNumber; data++)
        for (uint32_t row = 0; row < kRowsPerPage && p + 9 <= page + kJetPageSize; row++, entries++, p += 9)
        {
            const uint32_t key = FirstArticle(data) + row;
            p[0] = 0x7F;
            p[1] = (uint8_t)(key >> 24) ^ 0x80;
            p[2] = (uint8_t)(key >> 16);
            p[3] = (uint8_t)(key >> 8);
            p[4] = (uint8_t)key;
            p[5] = (uint8_t)(data >> 16);
            p[6] = (uint8_t)(data >> 8);
            p[7] = (uint8_t)data;
            p[8] = (uint8_t)row;
        }
    Put16(page + 0x0C, entries);
}
} // namespace

void MakeSamplePage(uint32_t seed, uint32_t pageNumber, uint32_t pageCount, uint8_t* page)
{
    std::memset(page, 0, kJetPageSize);
    Random random(((uint64_t)seed << 32) | pageNumber);
    if (pageNumber == 0)
        MakeHeaderPage(random, page);
    else if (pageNumber == 1)
        MakeUsageMap(pageCount, page);
    else if (pageNumber == 2)
        MakeTableDefinition(page);
    else if ((pageNumber - kFirstDataPage + 1) % (kPagesPerIndex + 1) == 0)
        MakeIndexPage(pageNumber, page);
    else
        MakeDataPage(random, pageNumber, page);
}
