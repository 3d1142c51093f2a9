#pragma once

#include "ziparchive/write/FileList.h"
#include "ziparchive/write/WrittenEntry.h"
#include "ziparchive/write/ZipHeaders.h"

#include <vector>

class ArchiveOutput;

// What both headers say of file as written so far; the name is a view into file.
EntryHeader HeaderOf(const FileToPack& file, const WrittenEntry& written);

// Writes the central directory of the entries written, one for each file of files in the same
// order, then the end records, at the output's current place. Throws CZipException when the
// output fails.
void WriteCentralDirectory(const FileList& files, const std::vector<WrittenEntry>& entries,
                           ArchiveOutput& output);
