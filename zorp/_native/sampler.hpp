// Tournament MCMC search of coefficient space.
#pragma once

#include "types.hpp"

namespace zorp {}  // namespace zorp
