#include "ziparchive/read/EntryAttributes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Systems whose archivers keep the Unix mode in the upper half of the external attributes.
bool StoresUnixMode(unsigned host) {
    switch (host) {
    case 2:  // VMS
    case 3:  // Unix
    case 5:  // Atari
    case 12: // QDOS
    case 13: // Acorn
    case 16: // BeOS
    case 17: // Tandem
    case 30: // AtheOS
        return true;
    default:
        return false;
    }
}

unsigned HostOf(const CentralEntry& entry) {
    return entry.versionMadeBy >> 8;
}

mode_t UnixModeOf(const CentralEntry& entry) {
    return StoresUnixMode(HostOf(entry)) ? static_cast<mode_t>(entry.externalAttributes >> 16) : 0;
}

} // namespace

bool MadeOnUnixLike(const CentralEntry& entry) {
    switch (HostOf(entry)) {
    case 3:  // Unix
    case 16: // BeOS
    case 19: // OS X
    case 30: // AtheOS
        return true;
    default:
        return false;
    }
}

bool NamesInCp437(const CentralEntry& entry) {
    switch (HostOf(entry)) {
    case 0:  // MS-DOS and OS/2 FAT
    case 6:  // OS/2 HPFS
    case 10: // Windows NTFS
    case 11: // NTFS as some Windows archivers number it
    case 14: // VFAT
        return true;
    default:
        return false;
    }
}

EntryKind KindOf(const CentralEntry& entry, bool nameIsDirectory) {
    if (nameIsDirectory)
        return EntryKind::Directory;
    if ((UnixModeOf(entry) & S_IFMT) == S_IFLNK)
        return EntryKind::Link;
    return EntryKind::File;
}

mode_t PermissionsOf(const CentralEntry& entry, EntryKind kind, mode_t umask) {
    if (const mode_t unixMode = UnixModeOf(entry); unixMode != 0)
        return unixMode & 0777 & ~mode_t{S_IWOTH};
    const bool readOnly = (entry.externalAttributes & 0x01) != 0;
    mode_t permissions = 0444;
    if (!readOnly)
        permissions |= 0222;
    if (kind == EntryKind::Directory)
        permissions |= 0111;
    return permissions & ~umask;
}

timespec ModificationTimeOf(const CentralEntry& entry) {
    if (entry.extendedMtime) {
        // The field's 32 bits are signed up to 2038 and unsigned past it, as writers that keep
        // later times store them; the DOS date, clamped rather than wrapped, tells which: a
        // time before 1970 has a DOS date of 1980.
        auto seconds = static_cast<time_t>(*entry.extendedMtime);
        if (seconds < 0 && (entry.dosDate >> 9) + 1980 >= 2038)
            seconds += time_t{1} << 32;
        return timespec{seconds, 0};
    }
    struct tm fields {};
    fields.tm_sec = (entry.dosTime & 0x1f) * 2;
    fields.tm_min = (entry.dosTime >> 5) & 0x3f;
    fields.tm_hour = entry.dosTime >> 11;
    fields.tm_mday = entry.dosDate & 0x1f;
    // Month 0 is read as January, as other extractors read it.
    fields.tm_mon = std::max((entry.dosDate >> 5) & 0x0f, 1) - 1;
    fields.tm_year = (entry.dosDate >> 9) + 80;
    // The time as if it were UTC, moved by the local offset at that moment (taken twice, for
    // times near a daylight-saving change). mktime would do the same but looks up the time zone
    // file again on every call, which costs seconds on an archive of many entries.
    const time_t asUtc = ::timegm(&fields);
    struct tm local {};
    ::localtime_r(&asUtc, &local);
    time_t guess = asUtc - local.tm_gmtoff;
    ::localtime_r(&guess, &local);
    guess = asUtc - local.tm_gmtoff;
    return timespec{guess, 0};
}

mode_t CurrentUmask() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &value) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(value);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}
