#pragma once

#include <stdexcept>

// Every failure of the archive class arrives as this exception: a failure to open, read, test,
// write or close that must end the operation.
class CZipException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
