#include "ziparchive/read/DestinationTree.h"

#include "ziparchive/CZipException.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        components.push_back(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return components;
}

std::string_view Leaf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view Folder(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

[[noreturn]] void FailAt(const char* what, std::string_view name, int error) {
    throw CZipException(std::string(what) + " " + std::string(name) + ": " + std::strerror(error));
}

} // namespace

void DestinationTree::Push(std::string_view name, int fd) {
    if (!m_open.empty() && m_open.size() > kKeptLevels)
        m_open.back().fd.Reset();
    m_open.push_back({std::string(name), UniqueFd(fd)});
}

bool DestinationTree::Reopen(std::size_t depth) {
    std::size_t open = depth;
    while (open > 0 && !m_open[open - 1].fd.IsOpen())
        --open;
    if (open == depth)
        return true;
    // Levels open..depth-1 are known by name only; walk down to them again.
    std::vector<OpenDirectory> below(std::make_move_iterator(m_open.begin() + open),
                                     std::make_move_iterator(m_open.begin() + depth));
    m_open.resize(open);
    for (const OpenDirectory& level : below) {
        const int fd = ::openat(Deepest(), level.name.c_str(), kDirectoryFlags);
        if (fd < 0)
            return false;
        Push(level.name, fd);
    }
    return true;
}

DestinationTree::Walk DestinationTree::Descend(std::string_view folder, bool create) {
    const std::vector<std::string_view> parents = Components(folder);
    std::size_t kept = 0;
    while (kept < m_open.size() && kept < parents.size() && m_open[kept].name == parents[kept])
        ++kept;
    m_open.resize(kept);
    if (!Reopen(kept))
        kept = m_open.size();
    std::size_t created = parents.size(); // the first level this walk created
    for (std::size_t i = kept; i < parents.size(); ++i) {
        const std::string name(parents[i]);
        int fd = ::openat(Deepest(), name.c_str(), kDirectoryFlags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(Deepest(), name.c_str(), 0777) == 0)
                created = std::min(created, i);
            else if (errno != EEXIST) {
                const int error = errno;
                RemoveCreated(created);
                FailAt("cannot create the folder", name, error);
            }
            fd = ::openat(Deepest(), name.c_str(), kDirectoryFlags);
        }
        if (fd < 0) {
            const int error = errno;
            if (create)
                RemoveCreated(created);
            if (error == ENOENT)
                return Walk::Missing;
            if (error == ELOOP || error == ENOTDIR)
                return Walk::Blocked;
            FailAt("cannot open the folder", name, error);
        }
        Push(name, fd);
    }
    return Walk::Complete;
}

// Climbs from the deepest folder through "..", which leads to the folder it was made in, so
// that no descriptor is needed for the levels between.
void DestinationTree::RemoveCreated(std::size_t first) {
    if (first >= m_open.size())
        return;
    UniqueFd current(::dup(m_open.back().fd.Get()));
    for (std::size_t level = m_open.size(); level-- > first && current.IsOpen();) {
        UniqueFd parent(::openat(current.Get(), "..", kDirectoryFlags));
        if (!parent.IsOpen())
            break;
        ::unlinkat(parent.Get(), m_open[level].name.c_str(), AT_REMOVEDIR);
        current = std::move(parent);
    }
    m_open.resize(first);
}

bool DestinationTree::ParentsUsable(std::string_view folder) {
    return Descend(folder, false) != Walk::Blocked;
}

DestinationTree::Standing DestinationTree::Inspect(std::string_view path) {
    if (path.empty())
        return Standing::Directory;
    if (Descend(Folder(path), false) != Walk::Complete)
        return Standing::Absent;
    const std::string leaf(Leaf(path));
    struct stat info {};
    if (::fstatat(Deepest(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Standing::Absent;
        FailAt("cannot inspect", leaf, errno);
    }
    if (S_ISDIR(info.st_mode))
        return Standing::Directory;
    if (S_ISLNK(info.st_mode))
        return Standing::Link;
    return Standing::Other;
}

int DestinationTree::OpenParents(std::string_view folder) {
    if (Descend(folder, true) != Walk::Complete)
        throw CZipException("a folder on the way is a link or not a folder");
    return Deepest();
}

int DestinationTree::OpenExisting(std::string_view folder) {
    return Descend(folder, false) == Walk::Complete ? Deepest() : -1;
}
