#pragma once

#include <string>

// Removes `name` in the directory parentFd and everything below it, without following links.
// Returns false when something could not be removed.
bool RemoveTreeAt(int parentFd, const std::string& name);

// Removes everything inside the open directory dirFd, without following links.
bool EmptyDirectory(int dirFd);
