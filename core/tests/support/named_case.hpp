// GoogleTest prints a parameterised case through PrintTo, found by
// argument-dependent lookup in the case type's namespace. A test brings this
// one in with `using morva::named_case::PrintTo;` inside the namespace of its
// case structs, and every case with a `name` member prints as that name.
#pragma once

#include <ostream>

namespace morva::named_case {

template <typename Case>
requires requires(const Case& c) {
  c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

}  // namespace morva::named_case
