#include "ziparchive/write/FileList.h"

#include <algorithm>
#include <string_view>

void FileList::Add(const std::string& path, const std::string& entryName, mode_t mode,
                   std::time_t modified, bool throughLink) {
    // The file's own part is the entry name's last component when the path ends with it too,
    // as it does for every file of a folder; otherwise both are kept whole in a head of their
    // own.
    std::string_view tail(entryName);
    if (const std::size_t slash = tail.rfind('/'); slash != std::string_view::npos)
        tail.remove_prefix(slash + 1);
    if (!std::string_view(path).ends_with(tail))
        tail = {};
    const std::string_view pathHead = std::string_view(path).substr(0, path.size() - tail.size());
    const std::string_view nameHead =
        std::string_view(entryName).substr(0, entryName.size() - tail.size());
    const auto headText = [this](const Head& head) {
        return std::string_view(m_headBytes).substr(head.start);
    };
    if (m_heads.empty() ||
        headText(m_heads.back()).substr(0, m_heads.back().pathLength) != pathHead ||
        headText(m_heads.back()).substr(m_heads.back().pathLength) != nameHead) {
        m_heads.push_back({size(), m_headBytes.size(), pathHead.size(), nameHead.size()});
        m_headBytes += pathHead;
        m_headBytes += nameHead;
    }
    m_tails += tail;
    m_tailEnds.push_back(m_tails.size());
    m_modified.push_back(modified);
    m_modes.push_back(
        static_cast<std::uint16_t>((mode & 07777) | (throughLink ? kThroughLink : 0)));
}

FileToPack FileList::operator[](std::size_t index) const {
    const Head& head = *std::prev(std::upper_bound(
        m_heads.begin(), m_heads.end(), index,
        [](std::size_t file, const Head& candidate) { return file < candidate.firstFile; }));
    const std::size_t tailStart = index == 0 ? 0 : m_tailEnds[index - 1];
    const std::string_view tail =
        std::string_view(m_tails).substr(tailStart, m_tailEnds[index] - tailStart);
    const std::string_view heads(m_headBytes);
    FileToPack file;
    file.path.reserve(head.pathLength + tail.size());
    file.path.append(heads.substr(head.start, head.pathLength)).append(tail);
    file.entryName.reserve(head.entryNameLength + tail.size());
    file.entryName.append(heads.substr(head.start + head.pathLength, head.entryNameLength))
        .append(tail);
    file.mode = m_modes[index] & 07777;
    file.modified = m_modified[index];
    file.throughLink = (m_modes[index] & kThroughLink) != 0;
    return file;
}
