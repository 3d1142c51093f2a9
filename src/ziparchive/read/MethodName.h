#pragma once

#include <cstdint>
#include <string>

// A compression method as the user should read it: its name and its number, "Deflate64 (9)",
// or "method 77" for a number no method is known by.
std::string MethodName(std::uint16_t method);
