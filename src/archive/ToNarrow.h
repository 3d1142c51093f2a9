#pragma once

#include <QString>

#include <string>

// Paths go to the file system as narrow strings. Here the narrow form is the file system's own
// encoding (UTF-8), so every name converts exactly and back again.
std::string ToNarrow(const QString& wide);
QString ToWide(const std::string& narrow);
