#pragma once

#include "ziparchive/fs/UniqueFd.h"

#include <cstdint>
#include <string>

// A hidden folder at the top of the destination where entries are decoded before they are put
// in place, so that nothing half-written ever stands under an entry's name. Where the file
// system allows, files are staged in it without a name and are named only where they belong:
// that spares a name made and moved for every file. It holds an flock while in use; a run
// killed half-way leaves it behind unlocked, and the next run into the same destination removes
// it. Whatever it holds is removed with it.
class StagingArea {
public:
    // rootFd is the destination's directory, borrowed. Throws CZipException.
    explicit StagingArea(int rootFd);
    ~StagingArea();
    StagingArea(const StagingArea&) = delete;
    StagingArea& operator=(const StagingArea&) = delete;

    int Fd() const { return m_fd.Get(); }
    const std::string& Name() const { return m_name; }
    // Whether files are staged without a name (see AnonymousFile.h), or under TemporaryName.
    bool AnonymousFiles() const { return m_anonymousFiles; }

    // The name an entry's data is staged under inside the folder.
    static std::string TemporaryName(std::uint64_t index);
    void RemoveTemporary(std::uint64_t index) const;

private:
    void RemoveAbandoned() const;
    bool TryCreate();

    int m_root;
    std::string m_name;
    UniqueFd m_fd;
    bool m_anonymousFiles = false;
};
