#pragma once

// Names the system's time zone file in TZ when TZ is unset, before any thread starts. libzip
// turns every entry's DOS time into a time_t with mktime as it opens an archive; with TZ unset,
// glibc checks /etc/localtime again on every call (a stat per entry, thousands on a large
// archive), while a named zone is read once. The zone is the same either way, and Qt reads
// ":/etc/localtime" as the system zone too.
void NameLocalTimeZone();
