#include "sampler.hpp"

namespace zorp {}  // namespace zorp
