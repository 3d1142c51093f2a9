// Any bytes as the BZIP2 stream of an entry, decoded block by block on two threads. Whenever the
// blockwise decoder calls the stream sound, libbz2 decodes it to the same bytes; damage never
// makes it read or write out of bounds or hang. The entry declares the size and CRC of what
// libbz2 makes of the stream, so that damage that keeps them can be taken.

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"

#include <bzlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What libbz2 makes of it, within a bound that lets a short input of runs still be split.
    static std::string reference(64u << 20, '\0');
    unsigned length = static_cast<unsigned>(reference.size());
    const bool decodes =
        BZ2_bzBuffToBuffDecompress(reference.data(), &length,
                                   const_cast<char*>(reinterpret_cast<const char*>(data)),
                                   static_cast<unsigned>(size), 0, 0) == BZ_OK;
    if (!decodes)
        length = 0;

    // Read from a file, as an entry's data is.
    const UniqueFd file(::memfd_create("stream", MFD_CLOEXEC));
    if (::write(file.Get(), data, size) != static_cast<ssize_t>(size))
        std::abort();
    EntryInput input(file.Get(), 0, size);
    EntryPlan plan;
    plan.method = 12;
    plan.crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(reference.data()), length));
    plan.size = length;
    plan.localHeaderSound = true;
    MemoryOutput output;
    Bzip2Workspace workspace;
    Bzip2SplitTeam team;
    const std::atomic<bool> cancel{false};
    ThreadBudget budget(2);
    const ThreadBudget::Lease caller = budget.Worker();
    const auto result = DecodeBzip2Blockwise(input, plan, output, cancel, budget, workspace, &team);
    if (result && result->status == DecodeStatus::Sound &&
        (!decodes || output.Bytes() != std::string_view(reference.data(), length)))
        std::abort();
    return 0;
}
