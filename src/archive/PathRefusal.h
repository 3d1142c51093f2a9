#pragma once

#include <stdexcept>

// A path the operation will not touch, with the reason in words for the user: the worker shows
// it under its failure message, since only the user can change what stands there.
class PathRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
