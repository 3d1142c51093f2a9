#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `length` letters and digits drawn at random, for names of temporaries that must not collide
// with another run's.
std::string RandomName(std::size_t length);

// Whether `name` is `prefix` followed by a RandomName of `length`: how a clean-up recognises
// temporaries a run left behind.
bool IsPrefixedRandomName(std::string_view name, std::string_view prefix, std::size_t length);
