#pragma once

#include <QByteArray>
#include <QString>

// The absolute path that names what `path` names for the system, for every path the user
// hands over (command line, direct mode, pickers) before the rules that derive other paths
// from it run. A relative path is taken from startFolder. ".." is never cleaned as text: with
// "a" a link, "a/../b" is b beside a's target, so the folder part is resolved by the system
// (links and ".." as it follows them) and the last component kept as it is, so that the result
// still names a link and not what it points to. A last component "." or ".." is resolved too,
// and separators at the end are dropped. When the folder part cannot be resolved (it does not
// exist) or has no text form, the joined path is returned as it is: the system still resolves
// it the same way.
QString ResolvedPath(const QString& path, const QString& startFolder);

// The path a command-line argument names: its exact bytes, nothing trimmed, taken from the
// current folder when relative, as text and resolved as above. Throws a PathRefusal with the
// message to show when those bytes (the current folder's included) are not UTF-8: they have no
// text form that leads back to them, and a look-alike would name another file. An empty
// argument gives an empty path.
QString ArgumentPath(const QByteArray& argument);
