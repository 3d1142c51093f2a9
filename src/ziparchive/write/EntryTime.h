#pragma once

#include <cstdint>
#include <ctime>

// The extended-timestamp extra field's id and its size with the modification time alone.
inline constexpr std::uint16_t ExtendedTimestampId = 0x5455;
inline constexpr std::uint16_t ExtendedTimestampSize = 5;

// The time nearest to modified that a DOS date holds: local 1980-01-01 00:00:00 to
// 2107-12-31 23:59:58. A DOS date cannot hold a year past 2107 or before 1980.
std::time_t ClampToDosRange(std::time_t modified);

// The DOS date (high 16 bits) and time (low 16 bits) of modified, clamped to that range, in
// local time with 2-second steps, as the zip headers store them.
std::uint32_t DosDateTime(std::time_t modified);

// The extended-timestamp field with the modification time only, which readers take the exact
// UTC time from: the DOS date has 2-second steps and no time zone. Its 32 bits hold the
// seconds from 1901-12-13 to 2106-02-07: signed up to 2038-01-19, unsigned past it, which a
// reader tells apart by the DOS date (2038 or later; a time before 1970 has a DOS date of
// 1980). False for a time outside that range, which then has the clamped DOS date alone.
bool ExtendedTimestamp(std::time_t modified, std::uint8_t (&field)[ExtendedTimestampSize]);
