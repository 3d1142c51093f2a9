#pragma once

#include <stdexcept>

// A path the operation will not touch, with the reason in words for the user. Like every failure
// of a worker, its text is shown as the cause beside the failure message.
class PathRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
