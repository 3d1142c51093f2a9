#pragma once

#include "ziparchive/read/CentralDirectory.h"

#include <sys/stat.h>
#include <time.h>

// What an entry becomes on disk and with which permissions and time.
enum class EntryKind { File, Directory, Link };

// A directory when its name ends with a separator; a link when a Unix-made entry says so.
EntryKind KindOf(const CentralEntry& entry, bool nameIsDirectory);

// Whether the entry was made on a Unix-like system, where '\' is an ordinary character in a
// file name rather than a separator.
bool MadeOnUnixLike(const CentralEntry& entry);

// Whether a name stored without the UTF-8 flag is in CP437, the code page DOS and Windows
// archivers write names in (made on FAT, HPFS, NTFS or VFAT). Elsewhere such a name is the
// bytes of the file system's own name, which is what to give back.
bool NamesInCp437(const CentralEntry& entry);

// The permission bits to give the entry: the stored Unix mode where the entry was made on a
// system that stores one, never with setuid, setgid, sticky or world-writable bits; otherwise
// read and write (execute too for directories) for all, less write when the entry is marked
// read-only, under the umask.
mode_t PermissionsOf(const CentralEntry& entry, EntryKind kind, mode_t umask);

// The modification time: the local header's extended-timestamp field's when present (read
// unsigned when the DOS date is 2038 or later), else the stored DOS time read as local time.
timespec ModificationTimeOf(const CentralEntry& entry);

// The process's umask, read without changing it (changing it would race with other threads
// creating files).
mode_t CurrentUmask();
