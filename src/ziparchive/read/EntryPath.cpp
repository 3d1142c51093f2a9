#include "ziparchive/read/EntryPath.h"

#include "ziparchive/fs/RandomName.h"

#include <climits>

namespace {

constexpr std::size_t kLongestComponent = NAME_MAX;
constexpr std::size_t kLongestPath = PATH_MAX - 1;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool HasDriveLetter(const std::string& name) {
    return name.size() >= 2 && IsLetter(name[0]) && name[1] == ':';
}

std::vector<std::string> SplitComponents(const std::string& text, bool backslashSeparates = true) {
    std::vector<std::string> pieces;
    std::string piece;
    for (const char c : text) {
        if (c == '/' || (backslashSeparates && c == '\\')) {
            pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    pieces.push_back(std::move(piece));
    return pieces;
}

EntryPath Refused(const char* why) {
    EntryPath path;
    path.refusal = why;
    return path;
}

// The components of a name, with "." dropped and ".." taking back the one before it.
EntryPath Walk(const std::string& name, bool backslashSeparates) {
    EntryPath path;
    path.directory = name.back() == '/' || (backslashSeparates && name.back() == '\\');
    for (std::string& piece : SplitComponents(name, backslashSeparates)) {
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..") {
            if (path.components.empty())
                return Refused("the name climbs out of the destination");
            path.components.pop_back();
            continue;
        }
        if (piece.size() > kLongestComponent)
            return Refused("a component of the name is too long");
        path.components.push_back(std::move(piece));
    }
    return path;
}

} // namespace

EntryPath ResolveEntryName(const std::string& name, bool backslashSeparates) {
    if (name.empty())
        return Refused("the name is empty");
    if (name.find('\0') != std::string::npos)
        return Refused("the name holds a NUL");
    if (IsSeparator(name.front()))
        return Refused("the name is absolute");
    if (HasDriveLetter(name))
        return Refused("the name carries a drive letter");
    if (name.size() > kLongestPath)
        return Refused("the name is too long");
    if (!backslashSeparates) {
        const EntryPath strict = Walk(name, true);
        if (!strict.refusal.empty())
            return strict;
    }
    EntryPath path = Walk(name, backslashSeparates);
    if (!path.refusal.empty())
        return path;
    // A folder entry for the destination itself ("./", as some archivers write first) names a
    // folder that is there already; anything else there has no name to go by.
    if (path.components.empty())
        return path.directory ? path : Refused("the name leads nowhere");
    if (IsStagingFolderName(path.components.front()))
        return Refused("the name is the reader's own staging folder's");
    return path;
}

bool LinkTargetStaysInside(const std::string& target, std::size_t depth) {
    if (target.empty() || target.find('\0') != std::string::npos || IsSeparator(target.front()) ||
        HasDriveLetter(target) || target.size() > kLongestPath)
        return false;
    bool descended = false;
    for (const std::string& piece : SplitComponents(target)) {
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..") {
            if (descended || depth == 0)
                return false;
            --depth;
        } else {
            descended = true;
        }
    }
    return true;
}

bool IsStagingFolderName(const std::string& name) {
    return IsPrefixedRandomName(name, kStagingPrefix, kStagingSuffixLength);
}
