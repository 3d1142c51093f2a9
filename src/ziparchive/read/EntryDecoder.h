#pragma once

#include "ziparchive/DecodeResult.h"
#include "ziparchive/bzip2/Bzip2Arena.h"

#include <zip.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Bzip2SplitTeam;
struct Bzip2Workspace;
class EntryInput;
class StreamDecompressor;
class ThreadBudget;
struct EntryPlan;
class EntryOutput;

// Decodes entries in full, checking the size the directory declares (more data is corruption,
// and decoding stops there, so a bomb costs one buffer) and the CRC. Stored, deflated, BZIP2,
// LZMA, XZ and Zstandard entries are read straight from the archive file and decoded here, each
// method by its decompressor in read/decode and every one through the same checks: BZIP2 block
// by block with the fast block decoder (a large entry with helper threads from the budget, on
// the team's decoders when they are free), and again in one piece with libbz2 whenever the fast
// path meets anything unexpected, so libbz2 has the final word on damaged data. Other methods go
// through a libzip handle, read to its end so that it checks the CRC. One decoder per thread.
class EntryDecoder {
public:
    // Each entry is decoded on a thread of `budget`, waiting for one to be free. The archive's
    // descriptor, the budget and the team are borrowed and must outlive the decoder; without a
    // team every entry is decoded on the calling thread alone.
    EntryDecoder(int archiveFd, ThreadBudget& budget, Bzip2SplitTeam* team = nullptr);
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder&) = delete;
    EntryDecoder& operator=(const EntryDecoder&) = delete;

    // Whether the entry is decoded through libzip, with a handle the caller passes: encrypted
    // entries, and methods not decoded here.
    static bool NeedsLibzip(const EntryPlan& plan);

    // `archive` may be null for entries that do not need libzip.
    DecodeResult Decode(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                        EntryOutput& output, const std::atomic<bool>& cancel);

private:
    // The buffers of the methods not decoded blockwise, made on first use: an archive of BZIP2
    // entries alone never touches them.
    void MakeBuffers();
    DecodeResult DecodeStored(EntryInput& input, const EntryPlan& plan, EntryOutput& output,
                              const std::atomic<bool>& cancel);
    DecodeResult DecodeWith(StreamDecompressor& decompressor, EntryInput& input,
                            const EntryPlan& plan, EntryOutput& output,
                            const std::atomic<bool>& cancel);
    DecodeResult DecodeBzip2(EntryInput& input, const EntryPlan& plan, EntryOutput& output,
                             const std::atomic<bool>& cancel);
    // crcChecked: libzip's CRC error counts (it does unless the entry's CRC field is unused).
    DecodeResult DecodeWithLibzip(zip_file_t* file, const EntryPlan& plan, EntryOutput& output,
                                  const std::atomic<bool>& cancel, bool crcChecked);

    int m_archiveFd;
    ThreadBudget& m_budget;
    Bzip2SplitTeam* m_team;
    std::unique_ptr<Bzip2Workspace> m_workspace;
    std::vector<char> m_input;
    std::vector<char> m_output;
    Bzip2Arena m_bzip2Arena;
};
