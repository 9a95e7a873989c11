#include "ftab.h"

namespace mdn {}  // namespace mdn
