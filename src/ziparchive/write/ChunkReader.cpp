#include "ziparchive/write/ChunkReader.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/PositionalRead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

std::string CannotPack(const FileToPack& file, const std::string& what) {
    return std::string("cannot pack ") + file.Path() + ": " + what;
}

std::string WithErrno(const char* action) {
    return std::string(action) + ": " + std::strerror(errno);
}

} // namespace

OpenedFile OpenForPacking(const FileToPack& file) {
    OpenedFile opened;
    const int flags =
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (file.throughLink ? 0 : O_NOFOLLOW);
    opened.fd = UniqueFd(::open(file.Path(), flags));
    struct stat info {};
    if (!opened.fd.IsOpen())
        opened.failure = CannotPack(file, errno == ELOOP ? "it was replaced by a link"
                                                         : WithErrno("open failed"));
    else if (::fstat(opened.fd.Get(), &info) != 0)
        opened.failure = CannotPack(file, WithErrno("stat failed"));
    else if (!S_ISREG(info.st_mode))
        opened.failure = CannotPack(file, "it is no longer a regular file");
    if (!opened.failure.empty()) {
        opened.fd.Reset();
        return opened;
    }
    opened.size = static_cast<std::uint64_t>(info.st_size);
    return opened;
}

ChunkRead ReadChunk(const FileToPack& file, const OpenedFile& opened, std::uint64_t offset,
                    std::size_t length, bool lastChunk, std::uint8_t* buffer) {
    ChunkRead read;
    const ssize_t got = ReadUpTo(opened.fd.Get(), offset, buffer, length);
    if (got < 0)
        throw CZipException(CannotPack(file, WithErrno("read failed")));
    read.length = static_cast<std::size_t>(got);
    if (!lastChunk || read.length < length)
        return read;
    // A file that grew, or one that tells stat it is empty but has content (as files under
    // /proc do), goes on past the end it had when opened.
    std::uint8_t probe = 0;
    const ssize_t beyond = ReadUpTo(opened.fd.Get(), offset + length, &probe, 1);
    if (beyond < 0)
        throw CZipException(CannotPack(file, WithErrno("read failed")));
    read.moreFollows = beyond > 0;
    return read;
}
