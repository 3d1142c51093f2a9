#include "archive/WalkFolder.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/DirectoryHandle.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace {

using DirectoryId = std::pair<dev_t, ino_t>;

[[noreturn]] void CannotRead(const std::string& path) {
    throw CZipException("cannot read " + path + ": " + std::strerror(errno));
}

class Walker {
public:
    explicit Walker(const std::function<void(std::string&&)>& onFile) : m_onFile(onFile) {}

    void Walk(const std::string& folder, DirectoryId id) {
        // The folders from the top down to this one: a link to any of them would loop.
        m_ancestors.push_back(id);
        ListFolder(folder);
        m_ancestors.pop_back();
    }

    SkippedSpecials skipped;

private:
    void ListFolder(const std::string& folder) {
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
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            Visit(prefix + name);
        }
    }

    void Visit(std::string path) {
        struct stat info {};
        // stat follows links: a link stands for what it points to.
        if (::stat(path.c_str(), &info) != 0) {
            struct stat link {};
            if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
                return; // dangling link: nothing to pack
            CannotRead(path);
        }
        if (S_ISDIR(info.st_mode)) {
            const DirectoryId id{info.st_dev, info.st_ino};
            if (std::find(m_ancestors.begin(), m_ancestors.end(), id) == m_ancestors.end())
                Walk(path, id);
        } else if (S_ISREG(info.st_mode)) {
            m_onFile(std::move(path));
        } else if (skipped.count++ == 0) {
            skipped.first = std::move(path);
        }
    }

    const std::function<void(std::string&&)>& m_onFile;
    std::vector<DirectoryId> m_ancestors;
};

} // namespace

SkippedSpecials WalkFolder(const std::string& folder,
                           const std::function<void(std::string&& path)>& onFile) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        CannotRead(folder);
    Walker walker(onFile);
    walker.Walk(folder, {info.st_dev, info.st_ino});
    return std::move(walker.skipped);
}

SkippedSpecials WalkFolder(const std::string& folder, std::vector<std::string>& fileList) {
    return WalkFolder(folder,
                      [&fileList](std::string&& path) { fileList.push_back(std::move(path)); });
}
