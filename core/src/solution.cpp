#include "morva/solution.hpp"

namespace morva {

WarmStart Solution::warm_start() const {
  return WarmStart{x, dual.equalities, dual.inequalities, dual.bounds, dual.l1};
}

}  // namespace morva
