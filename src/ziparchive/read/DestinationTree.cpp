#include "ziparchive/read/DestinationTree.h"

#include "ziparchive/CZipException.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void FailAt(const char* what, const std::string& name, int error) {
    throw CZipException(std::string(what) + " " + name + ": " + std::strerror(error));
}

} // namespace

DestinationTree::Walk DestinationTree::Descend(std::span<const std::string> parents, bool create) {
    std::size_t kept = 0;
    while (kept < m_open.size() && kept < parents.size() && m_open[kept].name == parents[kept])
        ++kept;
    m_open.resize(kept);
    for (std::size_t i = kept; i < parents.size(); ++i) {
        const std::string& name = parents[i];
        int fd = ::openat(Deepest(), name.c_str(), kDirectoryFlags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(Deepest(), name.c_str(), 0777) != 0 && errno != EEXIST)
                FailAt("cannot create the folder", name, errno);
            fd = ::openat(Deepest(), name.c_str(), kDirectoryFlags);
        }
        if (fd < 0) {
            if (errno == ENOENT)
                return Walk::Missing;
            if (errno == ELOOP || errno == ENOTDIR)
                return Walk::Blocked;
            FailAt("cannot open the folder", name, errno);
        }
        m_open.push_back({name, UniqueFd(fd)});
    }
    return Walk::Complete;
}

bool DestinationTree::ParentsUsable(std::span<const std::string> parents) {
    return Descend(parents, false) != Walk::Blocked;
}

DestinationTree::Standing DestinationTree::Inspect(std::span<const std::string> components) {
    if (components.empty())
        return Standing::Directory;
    if (Descend(components.first(components.size() - 1), false) != Walk::Complete)
        return Standing::Absent;
    struct stat info {};
    if (::fstatat(Deepest(), components.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Standing::Absent;
        FailAt("cannot inspect", components.back(), errno);
    }
    if (S_ISDIR(info.st_mode))
        return Standing::Directory;
    if (S_ISLNK(info.st_mode))
        return Standing::Link;
    return Standing::Other;
}

int DestinationTree::OpenParents(std::span<const std::string> parents) {
    if (Descend(parents, true) != Walk::Complete)
        throw CZipException("a folder on the way is a link or not a folder");
    return Deepest();
}

int DestinationTree::OpenExisting(std::span<const std::string> path) {
    return Descend(path, false) == Walk::Complete ? Deepest() : -1;
}
