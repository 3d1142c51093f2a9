#include "ziparchive/write/ChunkReader.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/PositionalRead.h"
#include "ziparchive/fs/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Fail(const FileToPack& file, const std::string& what) {
    throw CZipException("cannot pack " + file.path + ": " + what);
}

[[noreturn]] void FailWithErrno(const FileToPack& file, const char* action) {
    Fail(file, std::string(action) + ": " + std::strerror(errno));
}

[[noreturn]] void FailChanged(const FileToPack& file) {
    Fail(file, "it changed size while it was being packed");
}

} // namespace

void ReadChunk(const FileToPack& file, std::uint64_t offset, std::size_t length, bool lastChunk,
               std::uint8_t* buffer) {
    UniqueFd fd(::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0)
        FailWithErrno(file, "open failed");
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        FailWithErrno(file, "stat failed");
    if (!S_ISREG(info.st_mode))
        Fail(file, "it is no longer a regular file");
    if (static_cast<std::uint64_t>(info.st_size) != file.size)
        FailChanged(file);
    // Fewer bytes than asked for means the file was cut short after the stat above.
    const ssize_t got = ReadUpTo(fd.Get(), offset, buffer, length);
    if (got < 0)
        FailWithErrno(file, "read failed");
    if (static_cast<std::size_t>(got) != length)
        FailChanged(file);
    if (!lastChunk)
        return;
    // A file that grew after the stat still ends where it was recorded to end only if nothing
    // can be read there.
    std::uint8_t probe = 0;
    const ssize_t beyond = ReadUpTo(fd.Get(), file.size, &probe, 1);
    if (beyond < 0)
        FailWithErrno(file, "read failed");
    if (beyond > 0)
        FailChanged(file);
}
