#pragma once

#include <QString>

// The folder an archive unpacks into: its path cut before the last "." (the whole path when
// there is none), with "(1)" appended once when something other than a directory already
// stands there. An existing directory is unpacked into.
QString UnzipDestinationFor(const QString& archivePath);
