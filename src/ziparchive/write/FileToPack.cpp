#include "ziparchive/write/FileToPack.h"

FileToPack::FileToPack(const std::string& path, const std::string& entryName, mode_t mode,
                       std::time_t modified, bool throughLink)
    : mode(mode), modified(modified), throughLink(throughLink), m_bytes(path) {
    const std::size_t suffix = path.size() - entryName.size();
    if (entryName.size() < path.size() && path[suffix - 1] == '/' &&
        path.compare(suffix, entryName.size(), entryName) == 0) {
        m_nameOffset = static_cast<std::uint32_t>(suffix);
        return;
    }
    m_bytes.push_back('\0');
    m_nameOffset = static_cast<std::uint32_t>(m_bytes.size());
    m_bytes += entryName;
}
