// Power-basis design matrices and smoothness penalties in one and several dimensions.
#pragma once

#include "types.hpp"

namespace zorp {}  // namespace zorp
