#pragma once

#include <QString>

#include <functional>

// Whether an archive may unpack into the folder at a path.
using UnzipFolderUsable = std::function<bool(const QString& folder)>;

// Whether nothing, or a directory that is not a symbolic link, stands at the path.
bool NothingOrFolderStandsAt(const QString& folder);

// The folder an archive unpacks into: the archive's folder joined with its file name cut before
// the last "." (the whole name when there is none), or when that is not usable the first of
// "(1)", "(2)", ... appended to it that is. By default an existing directory is unpacked into and
// anything else is passed over.
// - Only the file name is cut: a dot in a folder name never counts.
// - A dot that begins the name is no extension, and neither is the last dot of a name made of
//   dots and one more ("..zip"): ".zip" and ".backup" keep their whole name, and the archive
//   itself then stands in the way.
// archivePath is absolute and resolved (ResolvedPath).
QString UnzipDestinationFor(const QString& archivePath,
                            const UnzipFolderUsable& usable = NothingOrFolderStandsAt);
