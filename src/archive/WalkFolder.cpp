#include "archive/WalkFolder.h"

#include "ziparchive/CZipArchive.h"
#include "ziparchive/fs/DirectoryHandle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

namespace {

using DirectoryId = std::pair<dev_t, ino_t>;

[[noreturn]] void CannotRead(const std::string& path) {
    throw CZipException("cannot read " + path + ": " + std::strerror(errno));
}

void Walk(const std::string& folder, std::set<DirectoryId>& visited,
          std::vector<std::string>& fileList) {
    DirectoryHandle dir(::opendir(folder.c_str()));
    if (!dir)
        CannotRead(folder);
    const std::string prefix = folder.ends_with('/') ? folder : folder + '/';
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                CannotRead(folder);
            return;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = prefix + name;
        struct stat info {};
        // stat follows links: a link stands for what it points to.
        if (::stat(path.c_str(), &info) != 0) {
            struct stat link {};
            if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
                continue; // dangling link: nothing to pack
            CannotRead(path);
        }
        if (S_ISDIR(info.st_mode)) {
            if (visited.insert({info.st_dev, info.st_ino}).second)
                Walk(path, visited, fileList);
        } else if (S_ISREG(info.st_mode)) {
            fileList.push_back(path);
        }
    }
}

} // namespace

void WalkFolder(const std::string& folder, std::vector<std::string>& fileList) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        CannotRead(folder);
    std::set<DirectoryId> visited{{info.st_dev, info.st_ino}};
    Walk(folder, visited, fileList);
}
