// Linear estimation: penalized least squares and least squares by SVD.
#pragma once

#include "types.hpp"

namespace zorp {}  // namespace zorp
