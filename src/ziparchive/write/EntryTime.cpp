#include "ziparchive/write/EntryTime.h"

#include <algorithm>

namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    return ::mktime(&fields);
}

} // namespace

std::time_t ClampToDosRange(std::time_t modified) {
    // Taken once: mktime reads the time zone each call, far too slow for every entry.
    static const std::time_t earliest = LocalTime(1980, 1, 1, 0, 0, 0);
    static const std::time_t latest = LocalTime(2107, 12, 31, 23, 59, 58);
    return std::clamp(modified, earliest, latest);
}

std::uint32_t DosDateTime(std::time_t modified) {
    const std::time_t clamped = ClampToDosRange(modified);
    struct tm local {};
    if (!::localtime_r(&clamped, &local))
        return ((1u << 5) | 1u) << 16; // 1980-01-01 00:00:00, for a time the C library refuses
    const auto date = static_cast<std::uint32_t>(((local.tm_year - 80) << 9) |
                                                 ((local.tm_mon + 1) << 5) | local.tm_mday);
    const auto time = static_cast<std::uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                                 (local.tm_sec >> 1));
    return (date << 16) | time;
}

bool ExtendedTimestamp(std::time_t modified, std::uint8_t (&field)[ExtendedTimestampSize]) {
    if (modified < INT32_MIN || modified > std::time_t{UINT32_MAX})
        return false;
    const auto seconds = static_cast<std::uint32_t>(modified);
    field[0] = 0x01; // the modification time is present
    for (int i = 0; i < 4; ++i)
        field[1 + i] = static_cast<std::uint8_t>(seconds >> (8 * i));
    return true;
}
