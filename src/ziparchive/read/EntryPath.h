#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where an entry goes below the destination, from its stored name. '/' separates components,
// and so does '\' where backslashSeparates; "." components and doubled separators are dropped
// and ".." takes back the component before it. Whatever backslashSeparates says, a name is
// refused if it would climb out with '\' taken as a separator: another reader may take it so.
// `refusal` says why a name cannot be extracted safely: absolute, with a drive letter, climbing
// above the destination, empty, "." or "..", holding a NUL, with a component too long for the file
// system, or claiming the name of the reader's staging folder.
struct EntryPath {
    std::vector<std::string> components; // empty for a folder entry naming the destination
    bool directory = false;              // the name ends with a separator
    std::string refusal;                 // empty when the path is safe
};

EntryPath ResolveEntryName(const std::string& name, bool backslashSeparates);

// Whether a symbolic link placed `depth` components below the destination with this target
// resolves inside the destination. The check is made on the text alone, so it refuses a ".."
// after an ordinary component: that component may itself be a link, and ".." would then climb
// from wherever it points.
bool LinkTargetStaysInside(const std::string& target, std::size_t depth);

// The reader's staging folders at the top of a destination are named kStagingPrefix followed by
// kStagingSuffixLength letters or digits.
inline constexpr char kStagingPrefix[] = ".tarvo-unzip-";
inline constexpr std::size_t kStagingSuffixLength = 6;
bool IsStagingFolderName(const std::string& name);
