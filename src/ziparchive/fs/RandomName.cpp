#include "ziparchive/fs/RandomName.h"

#include <random>

std::string RandomName(std::size_t length) {
    static constexpr char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::mt19937 engine(device());
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string name;
    for (std::size_t i = 0; i < length; ++i)
        name += kAlphabet[pick(engine)];
    return name;
}
