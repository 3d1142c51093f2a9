#pragma once

#include <QString>

#include <string>

// Paths go to the file system as narrow strings. Here the narrow form is the file system's own
// encoding (UTF-8), so every name converts exactly and back again.
std::string ToNarrow(const QString& wide);
QString ToWide(const std::string& narrow);

// A narrow name as text for a message: UTF-8 as it is, any other byte and any control character
// as \xNN, so that a name that has no text form is shown without being mistaken for another.
QString ShownName(const std::string& narrow);
