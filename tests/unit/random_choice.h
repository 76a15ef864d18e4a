#pragma once

// Draws for the seeded random inputs of the differential tests.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>

template <class T>
T pick(std::mt19937_64& rng, std::initializer_list<T> choices) {
    std::uniform_int_distribution<std::size_t> which(0, choices.size() - 1);
    return choices.begin()[which(rng)];
}

inline int32_t uniform(std::mt19937_64& rng, int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
}
