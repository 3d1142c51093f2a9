#pragma once

#include "ziparchive/DecodeResult.h"

#include <zip.h>

#include <cstdint>

struct EntryPlan;

// libzip 1.7.3 takes an AES entry's CRC field as a CRC unless the entry is under 20 bytes, yet
// the AE-2 form leaves it 0 at any size (and common tools write that form): such an entry
// always ends in libzip's "CRC error", after all its data came out. For it the CRC error at the
// end means nothing, and the authentication code is what vouches for the data.

// Whether the entry is one of those.
bool CrcFieldUnused(zip_t* archive, std::uint64_t index, const EntryPlan& plan);

// Checks the authentication code of such an entry: its data is read again, decrypted but not
// decompressed, where libzip checks the code and compares no CRC. A stored entry has no such
// reading in libzip 1.7.3 (it compares the CRC field there too), so its code goes unchecked:
// the password check bytes alone stand for it.
DecodeResult CheckAuthentication(zip_t* archive, std::uint64_t index, const EntryPlan& plan);
