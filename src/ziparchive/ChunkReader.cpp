#include "ziparchive/ChunkReader.h"

#include "ziparchive/CZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }

private:
    int m_fd;
};

[[noreturn]] void Fail(const FileToPack& file, const std::string& what) {
    throw CZipException("cannot pack " + file.path + ": " + what);
}

[[noreturn]] void FailWithErrno(const FileToPack& file, const char* action) {
    Fail(file, std::string(action) + ": " + std::strerror(errno));
}

[[noreturn]] void FailChanged(const FileToPack& file) {
    Fail(file, "it changed size while it was being packed");
}

// Reads exactly length bytes at offset; fewer means the file was cut short meanwhile.
void ReadFully(const FileToPack& file, int fd, std::uint64_t offset, std::size_t length,
               std::uint8_t* buffer) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            FailWithErrno(file, "read failed");
        }
        if (got == 0)
            FailChanged(file);
        done += static_cast<std::size_t>(got);
    }
}

} // namespace

void ReadChunk(const FileToPack& file, std::uint64_t offset, std::size_t length, bool lastChunk,
               std::uint8_t* buffer) {
    FileDescriptor fd(::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0)
        FailWithErrno(file, "open failed");
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        FailWithErrno(file, "stat failed");
    if (!S_ISREG(info.st_mode))
        Fail(file, "it is no longer a regular file");
    if (static_cast<std::uint64_t>(info.st_size) != file.size)
        FailChanged(file);
    ReadFully(file, fd.Get(), offset, length, buffer);
    if (!lastChunk)
        return;
    // A file that grew after the stat above still ends where it was recorded to end only if
    // nothing can be read there.
    std::uint8_t probe = 0;
    for (;;) {
        const ssize_t got = ::pread(fd.Get(), &probe, 1, static_cast<off_t>(file.size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            FailWithErrno(file, "read failed");
        if (got > 0)
            FailChanged(file);
        return;
    }
}
