#pragma once

#include <QString>

// Windows gives a program its command line as one string. Tarvo reads the archive path of the
// direct mode from that string itself rather than from the runtime's split into arguments.
// Plain string work, so it is built and tested everywhere.

// What follows the program name: the name ends at the first character up to U+0020 outside
// double quotes (each quote switches quoting on or off and belongs to the name), and the
// characters U+0001 to U+0020 after it are skipped.
QString CommandLineRemainder(const QString& raw);

// The archive path in a remainder: its first and its last character are cut, whatever they are
// (the quotes a launcher puts around the path). Nothing is trimmed: a blank in a name is part of
// it, and trimming it would name another file.
QString CleanDirectModePath(const QString& remainder);
