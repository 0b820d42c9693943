// Storage for the values of a large matrix.
#pragma once

#include <cstddef>
#include <vector>

namespace morva {

// An empty vector with room for `capacity` doubles, for the values of a
// large matrix: a block a released matrix left behind where one fits (its
// pages resident), else a new one. Where the system backs memory with huge
// pages on request (Linux), a new block of several megabytes asks for them
// before its first write, so that writing it faults in a few pages instead
// of thousands.
std::vector<double> large_storage(std::size_t capacity);

}  // namespace morva
