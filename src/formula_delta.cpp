#include "formula_delta.h"

namespace mdn {}  // namespace mdn
