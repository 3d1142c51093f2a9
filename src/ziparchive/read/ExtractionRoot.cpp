#include "ziparchive/read/ExtractionRoot.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/ParentFolder.h"
#include "ziparchive/read/EntryPlan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// The nearest path, from `path` upwards, that exists; the missing ones go to `missing`,
// outermost first.
std::string NearestExisting(const std::string& path, std::vector<std::string>& missing) {
    std::string at = path;
    struct stat info {};
    while (::lstat(at.c_str(), &info) != 0) {
        if (errno != ENOENT)
            throw CZipException("cannot reach the destination " + path + ": " +
                                std::strerror(errno));
        missing.insert(missing.begin(), at);
        const std::string parent = ParentFolder(at);
        if (parent == at)
            break;
        at = parent;
    }
    return at;
}

// A file takes whole blocks, however small, and an inode; so does every folder. Counting
// declared bytes alone lets thousands of small files fill a disk the check said had room.
void CheckRoom(const std::string& existing, const EntryPlans& plans, std::uint64_t missing) {
    struct statvfs space {};
    if (::statvfs(existing.c_str(), &space) != 0)
        throw CZipException("cannot measure the free space at " + existing + ": " +
                            std::strerror(errno));
    const std::uint64_t blockSize = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
    const EntryPlans::DiskNeed need = plans.NeedOn(blockSize);
    // The staging folder and the missing folders of the destination take one of each too.
    const std::uint64_t ownFolders = 1 + missing;
    const unsigned __int128 available =
        static_cast<unsigned __int128>(space.f_bavail) * space.f_frsize;
    if (static_cast<unsigned __int128>(need.bytes) + ownFolders * blockSize > available)
        throw CZipException("the archive's content does not fit in the free space at the "
                            "destination: it needs " +
                            std::to_string(need.bytes) + " bytes, and " + existing + " has " +
                            std::to_string(static_cast<std::uint64_t>(available)) + " free");
    // A file system that does not count inodes reports none at all.
    if (space.f_files != 0 && need.inodes + ownFolders > space.f_favail)
        throw CZipException("the archive holds more files than the destination's file system "
                            "has room for: it needs " +
                            std::to_string(need.inodes + ownFolders) + " inodes, and " + existing +
                            " has " + std::to_string(space.f_favail) + " free");
}

} // namespace

ExtractionRoot::ExtractionRoot(const std::string& path, const EntryPlans& plans) : m_path(path) {
    if (path.empty())
        throw CZipException("no destination was given");
    std::vector<std::string> missing;
    const std::string existing = NearestExisting(path, missing);
    CheckRoom(existing, plans, missing.size());
    for (const std::string& folder : missing) {
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
            const int error = errno;
            RemoveCreated();
            throw CZipException("cannot create the destination " + folder + ": " +
                                std::strerror(error));
        }
        m_created.push_back(folder);
    }
    m_fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_fd.IsOpen()) {
        const int error = errno;
        RemoveCreated();
        throw CZipException(error == ELOOP ? "the destination is a symbolic link"
                                           : "cannot open the destination " + path + ": " +
                                                 std::strerror(error));
    }
}

ExtractionRoot::~ExtractionRoot() {
    m_fd.Reset();
    if (!m_used)
        RemoveCreated();
}

void ExtractionRoot::RemoveCreated() {
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        ::rmdir(it->c_str());
    m_created.clear();
}
