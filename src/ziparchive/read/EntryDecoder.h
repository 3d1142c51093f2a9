#pragma once

#include "ziparchive/DecodeResult.h"
#include "ziparchive/bzip2/Bzip2Arena.h"

#include <zip.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Bzip2Workspace;
class ThreadBudget;
struct EntryPlan;
class EntryOutput;

// Decodes entries in full, checking the size the directory declares (more data is corruption,
// and decoding stops there, so a bomb costs one buffer) and the CRC. BZIP2 is decoded here, block
// by block with the fast block decoder (a large entry with helper threads from the budget), and
// again in one
// piece with libbz2 whenever the fast path meets anything unexpected, so libbz2 has the final
// word on damaged data. Other methods go through libzip, read to its end so that it checks the
// CRC. One decoder per thread.
class EntryDecoder {
public:
    // Each entry is decoded on a thread of `budget`, waiting for one to be free.
    explicit EntryDecoder(ThreadBudget& budget);
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder&) = delete;
    EntryDecoder& operator=(const EntryDecoder&) = delete;

    DecodeResult Decode(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                        EntryOutput& output, const std::atomic<bool>& cancel);

private:
    DecodeResult DecodeBzip2(zip_file_t* raw, const EntryPlan& plan, EntryOutput& output,
                             const std::atomic<bool>& cancel);
    DecodeResult DecodeWithLibzip(zip_file_t* file, const EntryPlan& plan, EntryOutput& output,
                                  const std::atomic<bool>& cancel);

    ThreadBudget& m_budget;
    std::unique_ptr<Bzip2Workspace> m_workspace;
    std::vector<char> m_input;
    std::vector<char> m_output;
    Bzip2Arena m_bzip2Arena;
};
