#include "estimation.hpp"

namespace zorp {}  // namespace zorp
