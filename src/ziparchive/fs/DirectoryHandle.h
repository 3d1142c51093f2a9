#pragma once

#include <dirent.h>

#include <memory>

// Owns a directory stream from opendir or fdopendir and closes it, with the descriptor it reads.
struct CloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, CloseDirectory>;
