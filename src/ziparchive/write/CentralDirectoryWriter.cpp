#include "ziparchive/write/CentralDirectoryWriter.h"

#include "ziparchive/write/ArchiveOutput.h"

#include <cstddef>
#include <cstdint>

namespace {

// Records are gathered up to this much before they go to the output.
constexpr std::size_t BatchBytes = 64 * 1024;

} // namespace

EntryHeader HeaderOf(const FileToPack& file, const WrittenEntry& written) {
    EntryHeader header;
    header.name = file.entryName;
    header.utf8Name = written.utf8Name;
    header.dosDateTime = written.dosDateTime;
    header.modified = file.modified;
    header.crc32 = written.crc32;
    header.compressedSize = written.compressedSize;
    header.size = written.size;
    header.offset = written.offset;
    header.mode = static_cast<std::uint16_t>(file.mode);
    return header;
}

void WriteCentralDirectory(const FileList& files, const std::vector<WrittenEntry>& entries,
                           ArchiveOutput& output) {
    const std::uint64_t directoryStart = output.Position();
    std::vector<std::uint8_t> batch;
    batch.reserve(BatchBytes + 2 * 0x10000);
    bool anyZip64 = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FileToPack file = files[i];
        anyZip64 = AppendCentralHeader(HeaderOf(file, entries[i]), batch) || anyZip64;
        if (batch.size() >= BatchBytes) {
            output.Write(batch.data(), batch.size());
            batch.clear();
        }
    }
    const std::uint64_t directorySize = output.Position() + batch.size() - directoryStart;
    AppendEndRecords(entries.size(), directoryStart, directorySize, anyZip64, batch);
    output.Write(batch.data(), batch.size());
}
