#include "surface.h"

namespace mdn {}  // namespace mdn
