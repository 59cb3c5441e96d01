#include "bases.hpp"

namespace zorp {}  // namespace zorp
