#include "ziparchive/read/StagingArea.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/AnonymousFile.h"
#include "ziparchive/fs/RandomName.h"
#include "ziparchive/fs/SameFile.h"
#include "ziparchive/fs/TreeRemoval.h"
#include "ziparchive/read/EntryPath.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> StagingFoldersIn(int rootFd) {
    std::vector<std::string> names = NamesIn(rootFd).value_or(std::vector<std::string>{});
    std::erase_if(names, [](const std::string& name) { return !IsStagingFolderName(name); });
    return names;
}

bool SameDirectory(int rootFd, const std::string& name, int fd) {
    struct stat byName {
    }, byFd{};
    return ::fstatat(rootFd, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &byFd) == 0 && SameFile(byName, byFd);
}

} // namespace

StagingArea::StagingArea(int rootFd) : m_root(rootFd) {
    RemoveAbandoned();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (TryCreate()) {
            m_anonymousFiles = AnonymousFilesWorkIn(m_fd.Get());
            return;
        }
    }
    throw CZipException("cannot create a staging folder in the destination");
}

StagingArea::~StagingArea() {
    if (!m_fd.IsOpen())
        return;
    EmptyDirectory(m_fd.Get());
    ::unlinkat(m_root, m_name.c_str(), AT_REMOVEDIR);
}

// A folder left by a run that was killed is no longer locked; one still locked belongs to a run
// in progress and is left alone.
void StagingArea::RemoveAbandoned() const {
    for (const std::string& name : StagingFoldersIn(m_root)) {
        const UniqueFd fd(::openat(m_root, name.c_str(), kDirectoryFlags));
        if (!fd.IsOpen() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (SameDirectory(m_root, name, fd.Get()) && EmptyDirectory(fd.Get()))
            ::unlinkat(m_root, name.c_str(), AT_REMOVEDIR);
    }
}

bool StagingArea::TryCreate() {
    std::string name = kStagingPrefix + RandomName(kStagingSuffixLength);
    if (::mkdirat(m_root, name.c_str(), 0700) != 0) {
        if (errno == EEXIST)
            return false;
        throw CZipException(std::string("cannot create a staging folder in the destination: ") +
                            std::strerror(errno));
    }
    UniqueFd fd(::openat(m_root, name.c_str(), kDirectoryFlags));
    // Another run sweeping abandoned folders may have taken it between mkdirat and flock; then
    // it is locked by that run or already gone, and a fresh name is tried.
    if (!fd.IsOpen() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
        !SameDirectory(m_root, name, fd.Get()))
        return false;
    m_name = std::move(name);
    m_fd = std::move(fd);
    return true;
}

std::string StagingArea::TemporaryName(std::uint64_t index) {
    return "e" + std::to_string(index);
}

void StagingArea::RemoveTemporary(std::uint64_t index) const {
    ::unlinkat(m_fd.Get(), TemporaryName(index).c_str(), 0);
}
