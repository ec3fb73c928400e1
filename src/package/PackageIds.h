// The entries a publisher stamps into each release's copy of the installer. All are language-neutral
// resources of the executable, addressed by a type name and an integer id.
//
// Settings ("REG") are UTF-16LE text ending with one NUL code unit, except the shared-folder flag, which
// is one 32-bit little-endian integer. The payload ("MDB") is the database file, byte for byte; or, in a
// compressed package, "MDZ" carries it as one Zstandard frame instead (package/CompressedPayload.h). A
// package carries one of the two, never both.
#pragma once

#include <windows.h>

constexpr char PACKAGE_PAYLOAD_TYPE[] = "MDB";
constexpr char PACKAGE_COMPRESSED_PAYLOAD_TYPE[] = "MDZ";
constexpr char PACKAGE_SETTING_TYPE[] = "REG";

constexpr UINT MDB_DATABASE = 129;          // the price-list database, stored or compressed
constexpr UINT REG_SETTINGS_KEY = 136;      // host settings subkey; also names the shared-folder layout
constexpr UINT REG_PATH_VALUE = 137;        // host value holding the target path; or the CAT- folder name
constexpr UINT REG_USE_SHARED_FOLDER = 138; // flag: compose the path under the common app-data folder
constexpr UINT REG_COUNTRY_KEY = 139;       // host key holding "Pays" and receiving the date
constexpr UINT REG_TARIFF_DATE = 140;       // the price list's creation date, stored as given
constexpr UINT REG_COUNTRY_CODE = 141;      // the country the price list is made for

// The integrity entry: a checksum of the payload and the six settings, and what a compressed payload
// decodes to (package/IntegrityEntry.h).
constexpr char PACKAGE_INTEGRITY_TYPE[] = "SUM";
constexpr UINT SUM_INTEGRITY = 142; // the integrity entry: checksum of the payload and the six settings
