#pragma once

#include "ziparchive/fs/UniqueFd.h"

// A file made without a name in a folder (O_TMPFILE): nothing sees it, and it is gone when its
// descriptor closes, until it is given a name. Giving it a name never replaces what stands there.

// Opens a new anonymous file for writing in the folder dirFd, mode 0600; not open on failure
// (errno says why: EOPNOTSUPP or EISDIR where the file system or kernel has no such files).
UniqueFd OpenAnonymousFile(int dirFd);

// Gives the anonymous file fd the name `name` in the folder dirFd; 0, or -1 with errno (EEXIST
// when something stands there already).
int NameAnonymousFile(int fd, int dirFd, const char* name);

// Whether anonymous files can be made and named in the folder dirFd: the file system must know
// them, and naming one needs /proc.
bool AnonymousFilesWorkIn(int dirFd);
