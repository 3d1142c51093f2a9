#pragma once

#include "ziparchive/DecodeResult.h"

#include <zip.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class Bzip2BlockDecoder;
class ThreadBudget;

struct EntryPlan;
class EntryOutput;

// What blockwise decoding keeps from entry to entry on one thread: a block decoder per thread it
// uses, with their arrays, and its buffers. Building them afresh for every small entry would
// cost more than decoding it.
struct Bzip2Workspace {
    Bzip2Workspace();
    ~Bzip2Workspace();
    std::vector<std::unique_ptr<Bzip2BlockDecoder>> decoders;
    std::vector<unsigned char> raw;
    std::vector<char> block;
};

// Decodes a BZIP2 entry's stream block by block with Bzip2BlockDecoder: in order on this thread,
// or, for a large entry and helper threads free in the budget, by reading ahead, splitting the
// stream at its block markers and decoding batches of blocks side by side, then writing them in
// order. Every block's CRC, the stream's combined CRC, the entry's size and its CRC-32 must all
// come out right, and each block must end exactly where the next begins.
//
// Nothing when anything is unexpected (damaged data, a marker that occurs by chance inside a
// block, a form the block decoder leaves alone): the caller then decodes the entry again from
// the start with libbz2, which has the final word. Failures to read the archive or to write the
// output are final and come back as they are.
std::optional<DecodeResult> DecodeBzip2Blockwise(zip_file_t* raw, const EntryPlan& plan,
                                                 EntryOutput& output,
                                                 const std::atomic<bool>& cancel,
                                                 ThreadBudget& budget, Bzip2Workspace& workspace);
