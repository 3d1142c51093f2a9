#pragma once

#include "ziparchive/EntryDecoder.h"

#include <zip.h>

#include <atomic>
#include <optional>

struct EntryPlan;
class EntryOutput;

// Decodes one large bzip2 entry on several threads: the raw stream is read ahead, split at its
// block markers, and batches of blocks are decoded side by side, each wrapped as a stream of its
// own, then written in order. Every block's CRC, the stream's combined CRC, the entry's size and
// its CRC-32 must all come out right. Nothing when the stream does not split cleanly (a marker
// that occurs by chance inside a block, damaged data, anything unexpected): the caller then
// decodes the entry in one piece from the start, which has the final word. Failures to read the
// archive or to write the output are final and come back as they are.
std::optional<DecodeResult> DecodeBzip2InBlocks(zip_file_t* raw, const EntryPlan& plan,
                                                EntryOutput& output,
                                                const std::atomic<bool>& cancel, unsigned threads);
