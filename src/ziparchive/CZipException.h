#pragma once

#include <stdexcept>

// Every failure of the archive class arrives as this exception: a failure to open, read, test,
// write or close that must end the operation.
class CZipException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The operation was asked to stop (CZipArchive::SetStopFlag). By the time the archive object is
// gone, whatever this run wrote is gone with it.
class CZipStopped : public CZipException {
public:
    using CZipException::CZipException;
};
