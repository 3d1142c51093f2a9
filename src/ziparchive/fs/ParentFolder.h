#pragma once

#include <string>

// The folder that holds `path`, by its text alone: "." for a bare name, "/" for a name at the
// root. Trailing slashes do not count as a level.
std::string ParentFolder(std::string path);
