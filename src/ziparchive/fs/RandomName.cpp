#include "ziparchive/fs/RandomName.h"

#include <algorithm>
#include <random>

namespace {

constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

} // namespace

std::string RandomName(std::size_t length) {
    std::random_device device;
    std::mt19937 engine(device());
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string name;
    for (std::size_t i = 0; i < length; ++i)
        name += kAlphabet[pick(engine)];
    return name;
}

bool IsPrefixedRandomName(std::string_view name, std::string_view prefix, std::size_t length) {
    return name.size() == prefix.size() + length && name.starts_with(prefix) &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return kAlphabet.find(c) != std::string_view::npos; });
}
