#pragma once

#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/read/EntryDecoder.h"

#include <zip.h>

#include <atomic>
#include <cstdint>
#include <string>

struct EntryPlan;
class StagingArea;

// What became of an entry's data: decoded and checked, and for files and links staged in the
// staging folder, ready to be put in place: under the entry's temporary name there, or, for a
// file staged without a name, held open in `file` (closing it drops the file).
struct StagedEntry {
    DecodeResult decode;
    std::string refusal; // a link whose target leaves the destination
    bool staged = false;
    UniqueFd file;
};

// Holds the counter a reader's progress goes to, if any; swapped while a run goes on.
using ProgressCounterSlot = std::atomic<std::atomic<std::uint64_t>*>;

// Decodes the entry and stages it in `staging`, or only checks it when that is null; `archive`
// is needed only for entries decoded through libzip (EntryDecoder::NeedsLibzip). A staged
// file already has its permissions and modification time. Entries refused by name are left
// undecoded: the caller refuses them before looking here, as it does encrypted entries while no
// password is set. Whatever is not sound
// is removed before returning. While a file's decoded bytes are written, the counter in
// `progress` (if any) grows by the share of the entry's compressed size they stand for, and by
// the rest once the entry is sound: the bar follows what is on disk, not what was read ahead.
StagedEntry StageEntry(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                       const StagingArea* staging, EntryDecoder& decoder,
                       const std::atomic<bool>& cancel,
                       const ProgressCounterSlot* progress = nullptr);
