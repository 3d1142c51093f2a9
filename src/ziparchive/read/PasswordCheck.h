#pragma once

#include <zip.h>

#include <atomic>

class EntryDecoder;
class EntryPlans;

// Whether the password set on `archive` (zip_set_default_password) opens its encrypted entries,
// judged before anything is written on the smallest encrypted file with data, in a method and
// an encryption this build reads. A small one is decoded in full, so that its CRC and AES's
// authentication code are checked as well as the password check bytes; of a large one only the
// first bytes, which a wrong key turns into data the decompressor refuses. When the check bytes
// pass but the data does not decode, the entry may be damaged rather than the password wrong,
// and the next smallest is judged too: a damaged entry fails its own test later, and does not
// lock the others away. True when no entry can be judged: the entries then fail their own
// tests. Throws CZipException when the archive cannot be read, and returns true once `cancel`
// is up, for the caller to stop.
bool PasswordOpens(zip_t* archive, const EntryPlans& plans, EntryDecoder& decoder,
                   const std::atomic<bool>& cancel);
