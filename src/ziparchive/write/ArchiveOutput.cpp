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

// A failure with the libzip error it maps to, so a callback can report it to libzip.
class OutputFailure : public CZipException {
public:
    OutputFailure(const std::string& what, int zipError, int systemError)
        : CZipException(
              DiskFullPrefix(systemError) + what +
              (systemError ? std::string(": ") + std::strerror(systemError) : std::string())),
          m_zipError(zipError), m_systemError(systemError) {}
    int ZipError() const { return m_zipError; }
    int SystemError() const { return m_systemError; }

private:
    int m_zipError;
    int m_systemError;
};

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

zip_source_t* ArchiveOutput::CreateSource(zip_error_t* error) {
    return zip_source_function_create(&ArchiveOutput::Call, this, error);
}

void ArchiveOutput::Begin() {
    if (m_fd >= 0)
        throw OutputFailure("the archive is already being written", ZIP_ER_INTERNAL, 0);
    IgnoreFileSizeSignal();
    RemoveStaleTemporaries();
    struct stat existing {};
    m_replacing = ::lstat(m_finalPath.c_str(), &existing) == 0;
    CreateTemporary();
    // A replaced archive keeps its permissions; a new one gets the umask's.
    if (m_replacing && S_ISREG(existing.st_mode))
        ::fchmod(m_fd, existing.st_mode & 07777);
    m_buffered = 0;
    m_bufferStart = m_position = m_end = 0;
}

void ArchiveOutput::CreateTemporary() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = m_folder + "/" + m_temporaryPrefix + RandomName(RandomLength);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw OutputFailure("cannot create a file in " + m_folder, ZIP_ER_TMPOPEN, errno);
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
    throw OutputFailure("cannot create a temporary file in " + m_folder, ZIP_ER_TMPOPEN, EEXIST);
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

void ArchiveOutput::Write(const void* data, std::size_t size) {
    if (m_fd < 0)
        throw OutputFailure("the archive is not being written", ZIP_ER_INTERNAL, 0);
    if (m_stop && m_stop->load(std::memory_order_relaxed))
        throw OutputFailure("writing the archive was stopped", ZIP_ER_CANCELLED, 0);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    // Outside the gathered range, or past its room: write out what was gathered first.
    if (m_position < m_bufferStart || m_position > m_bufferStart + m_buffered ||
        m_position - m_bufferStart + size > m_buffer.size()) {
        Flush();
        m_bufferStart = m_position;
    }
    if (size > m_buffer.size()) {
        WriteAt(bytes, size, m_position);
        m_bufferStart = m_position + size;
    } else {
        const std::size_t at = static_cast<std::size_t>(m_position - m_bufferStart);
        std::memcpy(m_buffer.data() + at, bytes, size);
        m_buffered = std::max(m_buffered, at + size);
    }
    m_position += size;
    m_end = std::max(m_end, m_position);
}

void ArchiveOutput::Seek(const zip_source_args_seek_t& seek) {
    std::int64_t base = 0;
    switch (seek.whence) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = static_cast<std::int64_t>(m_position);
        break;
    case SEEK_END:
        base = static_cast<std::int64_t>(m_end);
        break;
    default:
        throw OutputFailure("invalid seek in the archive", ZIP_ER_INVAL, 0);
    }
    const std::int64_t target = base + seek.offset;
    if (target < 0)
        throw OutputFailure("seek before the start of the archive", ZIP_ER_INVAL, 0);
    m_position = static_cast<std::uint64_t>(target);
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
            throw OutputFailure("cannot write the archive", ZIP_ER_WRITE, errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

void ArchiveOutput::Commit() {
    if (m_fd < 0)
        throw OutputFailure("the archive is not being written", ZIP_ER_INTERNAL, 0);
    try {
        Flush();
        if (m_beforeCommit)
            m_beforeCommit(m_fd);
        // The rename must not become visible before the data: were the machine to stop
        // in between, the earlier archive would be replaced by an empty file. A new archive
        // has nothing to lose, and skips the wait.
        if (m_replacing && ::fsync(m_fd) != 0)
            throw OutputFailure("cannot write the archive", ZIP_ER_WRITE, errno);
        if (::rename(m_temporaryPath.c_str(), m_finalPath.c_str()) != 0)
            throw OutputFailure("cannot put the archive in place as " + m_finalPath, ZIP_ER_RENAME,
                                errno);
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
        throw OutputFailure("cannot write the archive", ZIP_ER_WRITE, error);
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

zip_int64_t ArchiveOutput::Call(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
    auto& output = *static_cast<ArchiveOutput*>(userdata);
    try {
        return output.Handle(data, length, command);
    } catch (const OutputFailure& failure) {
        zip_error_set(output.m_error.Get(), failure.ZipError(), failure.SystemError());
    } catch (const std::bad_alloc&) {
        zip_error_set(output.m_error.Get(), ZIP_ER_MEMORY, 0);
    } catch (...) {
        zip_error_set(output.m_error.Get(), ZIP_ER_INTERNAL, 0);
    }
    return -1;
}

zip_int64_t ArchiveOutput::Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS,
            ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE,
            ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
    case ZIP_SOURCE_STAT:
        // "Does not exist": libzip then starts an empty archive and never reads or merges
        // whatever has the final name now.
        zip_error_set(m_error.Get(), ZIP_ER_READ, ENOENT);
        return -1;
    case ZIP_SOURCE_BEGIN_WRITE:
        Begin();
        return 0;
    case ZIP_SOURCE_WRITE:
        Write(data, static_cast<std::size_t>(length));
        return static_cast<zip_int64_t>(length);
    case ZIP_SOURCE_SEEK_WRITE: {
        auto* seek = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, m_error.Get());
        if (!seek)
            return -1;
        Seek(*seek);
        return 0;
    }
    case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(m_position);
    case ZIP_SOURCE_COMMIT_WRITE:
        Commit();
        return 0;
    case ZIP_SOURCE_ROLLBACK_WRITE:
        Rollback();
        return 0;
    case ZIP_SOURCE_REMOVE:
        // libzip asks this only of an archive left with no entries. Nothing of ours is on
        // disk before the commit, and an earlier archive of the name is never removed.
        return 0;
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(m_error.Get(), data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    default:
        // Reading the archive back is never needed: it is always written from scratch.
        zip_error_set(m_error.Get(), ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}
