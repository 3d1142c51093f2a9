#include "ziparchive/write/ArchiveOutput.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/DirectoryHandle.h"
#include "ziparchive/fs/ParentFolder.h"
#include "ziparchive/fs/RandomName.h"
#include "ziparchive/fs/SameFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr std::size_t BufferCapacity = 1 << 20;
constexpr std::size_t RandomLength = 6;
// Long enough to tell archives apart, short enough that the temporary's name stays within
// the file system's limit however long the archive's name is.
constexpr std::size_t NameInPrefix = 200;

// The words a user looks for first when the file system ran out of room.
std::string DiskFullPrefix(int systemError) {
    return systemError == ENOSPC || systemError == EDQUOT ? "the disk is full: " : "";
}

CZipException OutputFailure(const std::string& what, int systemError) {
    return CZipException(
        DiskFullPrefix(systemError) + what +
        (systemError ? std::string(": ") + std::strerror(systemError) : std::string()));
}

// A write past the file-size limit (ulimit -f) raises SIGXFSZ, which kills the process by
// default and leaves the temporary behind. Ignored, it becomes EFBIG from write, an error
// that removes the temporary like any full disk.
void IgnoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGXFSZ, &ignore, nullptr);
        }
    });
}

} // namespace

ArchiveOutput::ArchiveOutput(std::string finalPath)
    : m_finalPath(std::move(finalPath)), m_buffer(BufferCapacity) {
    m_folder = ParentFolder(m_finalPath);
    const std::size_t slash = m_finalPath.rfind('/');
    const std::string name =
        slash == std::string::npos ? m_finalPath : m_finalPath.substr(slash + 1);
    m_temporaryPrefix = "." + name.substr(0, NameInPrefix) + ".tarvo-";
}

ArchiveOutput::~ArchiveOutput() {
    Rollback();
}

void ArchiveOutput::Begin() {
    if (m_fd >= 0)
        throw OutputFailure("the archive " + m_finalPath + " is already being written", 0);
    IgnoreFileSizeSignal();
    RemoveStaleTemporaries();
    struct stat existing {};
    m_replacing = ::lstat(m_finalPath.c_str(), &existing) == 0;
    CreateTemporary();
    // A replaced archive keeps its permissions; a new one gets the umask's.
    if (m_replacing && S_ISREG(existing.st_mode))
        ::fchmod(m_fd, existing.st_mode & 07777);
    m_buffered = 0;
    m_bufferStart = m_end = 0;
}

void ArchiveOutput::CreateTemporary() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = m_folder + "/" + m_temporaryPrefix + RandomName(RandomLength);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw OutputFailure(
                "cannot write " + m_finalPath + ": cannot create a file in " + m_folder, errno);
        }
        // Locked, it is ours: the clean-up of a later run passes it by. A clean-up that got
        // to it between open and flock has unlinked it, which the second stat shows.
        struct stat opened {
        }, named{};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &opened) == 0 &&
            ::stat(path.c_str(), &named) == 0 && SameFile(opened, named)) {
            m_fd = fd;
            m_temporaryPath = path;
            return;
        }
        ::close(fd);
    }
    throw OutputFailure(
        "cannot write " + m_finalPath + ": cannot create a temporary file in " + m_folder, EEXIST);
}

void ArchiveOutput::RemoveStaleTemporaries() const {
    const DirectoryHandle dir(::opendir(m_folder.c_str()));
    if (!dir)
        return; // creating the temporary will report what is wrong with the folder
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!IsPrefixedRandomName(name, m_temporaryPrefix, RandomLength))
            continue;
        const std::string path = m_folder + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat opened {
        }, named{};
        // Only an unlocked temporary is stale: a running writer holds its lock until the end.
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            SameFile(opened, named))
            ::unlink(path.c_str());
        ::close(fd);
    }
}

void ArchiveOutput::ThrowUnlessWriting() const {
    if (m_fd < 0)
        throw OutputFailure("the archive " + m_finalPath + " is not being written", 0);
    if (m_stop && m_stop->load(std::memory_order_relaxed))
        throw OutputFailure("writing " + m_finalPath + " was stopped", 0);
}

void ArchiveOutput::Write(const void* data, std::size_t size) {
    ThrowUnlessWriting();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (m_buffered + size > m_buffer.size())
        Flush();
    if (size > m_buffer.size()) {
        WriteAt(bytes, size, m_end);
        m_bufferStart = m_end + size;
    } else {
        std::memcpy(m_buffer.data() + m_buffered, bytes, size);
        m_buffered += size;
    }
    m_end += size;
}

void ArchiveOutput::Patch(std::uint64_t offset, const void* data, std::size_t size) {
    ThrowUnlessWriting();
    if (offset > m_end || size > m_end - offset)
        throw OutputFailure("cannot write " + m_finalPath + ": a patch past its end", 0);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    // What lies before the gathered range is on disk already; the rest is patched in memory.
    if (offset < m_bufferStart) {
        const std::size_t onDisk =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, m_bufferStart - offset));
        WriteAt(bytes, onDisk, offset);
        bytes += onDisk;
        size -= onDisk;
        offset += onDisk;
    }
    if (size > 0)
        std::memcpy(m_buffer.data() + (offset - m_bufferStart), bytes, size);
}

void ArchiveOutput::Flush() {
    if (m_buffered > 0)
        WriteAt(m_buffer.data(), m_buffered, m_bufferStart);
    m_bufferStart += m_buffered;
    m_buffered = 0;
}

void ArchiveOutput::WriteAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t written = ::pwrite(m_fd, data, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw OutputFailure("cannot write " + m_finalPath, errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

void ArchiveOutput::Commit() {
    if (m_fd < 0)
        throw OutputFailure("the archive " + m_finalPath + " is not being written", 0);
    try {
        Flush();
        // The rename must not become visible before the data: were the machine to stop
        // in between, the earlier archive would be replaced by an empty file. A new archive
        // has nothing to lose, and skips the wait.
        if (m_replacing && ::fsync(m_fd) != 0)
            throw OutputFailure("cannot write " + m_finalPath, errno);
        if (::rename(m_temporaryPath.c_str(), m_finalPath.c_str()) != 0)
            throw OutputFailure("cannot put the archive in place as " + m_finalPath, errno);
    } catch (...) {
        Rollback();
        throw;
    }
    m_temporaryPath.clear();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        // A network file system reports a failed write only here. The archive in place is
        // not known to be whole, so it does not stay looking whole.
        const int error = errno;
        ::unlink(m_finalPath.c_str());
        throw OutputFailure("cannot write " + m_finalPath, error);
    }
}

void ArchiveOutput::Rollback() noexcept {
    CloseFile();
    if (!m_temporaryPath.empty()) {
        ::unlink(m_temporaryPath.c_str());
        m_temporaryPath.clear();
    }
    m_buffered = 0;
}

void ArchiveOutput::CloseFile() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
