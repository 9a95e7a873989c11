#include "ptg.h"

namespace mdn {}  // namespace mdn
