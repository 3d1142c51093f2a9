#pragma once

#include "ziparchive/DecodeResult.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class Bzip2BlockDecoder;
class ThreadBudget;

class EntryInput;
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

// The decoders a large entry's blocks are shared out to, for the threads that decode entries
// side by side. One entry uses them at a time: each decoder holds several megabytes, and large
// entries decoded side by side, each with a set of its own kept from entry to entry, would
// multiply that by the number of threads again.
class Bzip2SplitTeam {
public:
    // At most kMostThreads decode one entry's blocks, however many the budget has free: beyond
    // that the decoders' memory grows faster than the speed.
    static constexpr unsigned kMostThreads = 16;
    Bzip2SplitTeam();
    ~Bzip2SplitTeam();
    Bzip2SplitTeam(const Bzip2SplitTeam&) = delete;
    Bzip2SplitTeam& operator=(const Bzip2SplitTeam&) = delete;

    // The workspace, for the holder of the lock TryLease gives.
    std::unique_lock<std::mutex> TryLease() { return std::unique_lock(m_inUse, std::try_to_lock); }
    Bzip2Workspace& Workspace() { return m_workspace; }

private:
    std::mutex m_inUse;
    Bzip2Workspace m_workspace;
};

// Decodes a BZIP2 entry's stream block by block with Bzip2BlockDecoder: in order on this thread
// with `workspace`, or, for a large entry when the team is free and helper threads are free in
// the budget, by cutting the stream at its block markers, decoding the blocks side by side on
// the team's decoders and writing them in order as they come. Every block's CRC, the stream's
// combined CRC, the entry's size and its CRC-32 must all come out right, and each block must end
// exactly where the next begins. What is held at a time is bounded in bytes, whatever the data
// and the number of threads: the blocks in flight, and the decoded bytes waiting to be written.
//
// Nothing when anything is unexpected (damaged data, a marker that occurs by chance inside a
// block, a block running on further than any block can, a form the block decoder leaves alone):
// the caller then decodes the entry again from the start with libbz2, which has the final word.
// Failures to read the archive or to write the output are final and come back as they are.
std::optional<DecodeResult> DecodeBzip2Blockwise(EntryInput& raw, const EntryPlan& plan,
                                                 EntryOutput& output,
                                                 const std::atomic<bool>& cancel,
                                                 ThreadBudget& budget, Bzip2Workspace& workspace,
                                                 Bzip2SplitTeam* team);
