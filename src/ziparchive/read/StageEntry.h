#pragma once

#include "ziparchive/read/EntryDecoder.h"

#include <zip.h>

#include <atomic>
#include <cstdint>
#include <string>

struct EntryPlan;

// What became of an entry's data: decoded and checked, and for files and links staged under the
// entry's temporary name in the staging folder, ready to be renamed into place.
struct StagedEntry {
    DecodeResult decode;
    std::string refusal; // a link whose target leaves the destination
    bool staged = false;
};

// Decodes the entry and stages it in stagingFd, or only checks it when stagingFd is -1; `archive`
// is needed only for entries decoded through libzip (EntryDecoder::NeedsLibzip). A staged
// file already has its permissions and modification time. Entries refused by name and encrypted
// entries are left undecoded: the caller refuses them before looking here. Whatever is not sound
// is removed before returning.
StagedEntry StageEntry(zip_t* archive, std::uint64_t index, const EntryPlan& plan, int stagingFd,
                       EntryDecoder& decoder, const std::atomic<bool>& cancel);
