// A deterministic stand-in for a price-list database, shaped like a Jet 4 file: 4096-byte pages, a header
// page that begins with the Jet signature, a page-usage map, a table definition, then data pages filled
// with price-list rows. No database engine would open it; it exists to be carried by a package and
// written out byte for byte, in the sizes the tests and benchmarks need.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kJetPageSize = 4096;

// Fills one page. The same seed and page number always give the same bytes; only the usage map depends
// on the page count.
void MakeSamplePage(uint32_t seed, uint32_t pageNumber, uint32_t pageCount, uint8_t* page);
