#include "ziparchive/write/NameFlags.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/FileBytes.h"
#include "ziparchive/read/CentralDirectory.h"
#include "ziparchive/read/LittleEndian.h"
#include "ziparchive/write/EntryName.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr std::uint16_t kUtf8NameFlag = 0x0800;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kCentralFlagsAt = 8;
constexpr std::size_t kLocalFlagsAt = 6;

void ClearFlagAt(int fd, std::uint64_t position) {
    unsigned char flags[2];
    if (ReadAt(fd, position, flags, sizeof flags) != sizeof flags)
        throw CZipException("cannot read back the archive's name flags");
    const auto cleared = static_cast<std::uint16_t>(ReadLe16(flags) & ~kUtf8NameFlag);
    flags[0] = static_cast<unsigned char>(cleared & 0xFF);
    flags[1] = static_cast<unsigned char>(cleared >> 8);
    if (::pwrite(fd, flags, sizeof flags, static_cast<off_t>(position)) != sizeof flags)
        throw CZipException(std::string("cannot write the archive's name flags: ") +
                            std::strerror(errno));
}

} // namespace

void ClearFalseUtf8Flags(int fd) {
    const ArchiveLayout layout = ReadArchiveLayout(fd);
    const std::vector<unsigned char> directory =
        ReadBlock(fd, layout.directoryStart,
                  static_cast<std::size_t>(layout.directoryEnd - layout.directoryStart));
    std::size_t at = 0;
    for (const CentralEntry& entry : layout.entries) {
        const unsigned char* header = &directory[at];
        const std::size_t nameLength = ReadLe16(header + 28);
        const std::string_view name(reinterpret_cast<const char*>(header + kCentralHeaderSize),
                                    nameLength);
        if ((entry.flags & kUtf8NameFlag) != 0 && !IsWellFormedUtf8(name)) {
            ClearFlagAt(fd, layout.directoryStart + at + kCentralFlagsAt);
            ClearFlagAt(fd, entry.localHeader + kLocalFlagsAt);
        }
        at += kCentralHeaderSize + nameLength + ReadLe16(header + 30) + ReadLe16(header + 32);
    }
}
