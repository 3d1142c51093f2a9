#pragma once

// Clears the UTF-8 flag that libzip gave names which are not well-formed UTF-8
// (LibzipFlagsFalsely), in the local headers and the central directory of the finished archive
// in fd, so that such a name reads as raw bytes like any other name that is not UTF-8. Throws
// CZipException on failure.
void ClearFalseUtf8Flags(int fd);
