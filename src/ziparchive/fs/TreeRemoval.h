#pragma once

#include <optional>
#include <string>
#include <vector>

// The names in the open directory dirFd, without "." and "..", or nothing when it cannot be read.
std::optional<std::vector<std::string>> NamesIn(int dirFd);

// Removes `name` in the directory parentFd and everything below it, without following links.
// Returns false when something could not be removed.
bool RemoveTreeAt(int parentFd, const std::string& name);

// Removes everything inside the open directory dirFd, without following links.
bool EmptyDirectory(int dirFd);
