#pragma once

#include "ziparchive/write/FileList.h"
#include "ziparchive/write/WrittenEntry.h"

#include <vector>

class ArchiveOutput;

// Writes the central directory of the entries written, one for each file of files in the same
// order, then the end records, at the output's current place. Throws CZipException when the
// output fails.
void WriteCentralDirectory(const FileList& files, const std::vector<WrittenEntry>& entries,
                           ArchiveOutput& output);
