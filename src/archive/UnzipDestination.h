#pragma once

#include <QString>

// The folder an archive unpacks into: the archive's folder joined with its file name cut before
// the last "." (the whole name when there is none), with "(1)" appended once when something
// other than a directory already stands there. An existing directory is unpacked into.
// - Only the file name is cut: a dot in a folder name never counts.
// - A dot that begins the name is no extension, and neither is the last dot of a name made of
//   dots and one more ("..zip"): ".zip" and ".backup" keep their whole name, and the archive
//   itself then stands in the way.
// archivePath is absolute and resolved (ResolvedPath).
QString UnzipDestinationFor(const QString& archivePath);
