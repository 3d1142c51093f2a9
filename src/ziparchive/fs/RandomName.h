#pragma once

#include <cstddef>
#include <string>

// `length` letters and digits drawn at random, for names of temporaries that must not collide
// with another run's.
std::string RandomName(std::size_t length);
