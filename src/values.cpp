#include "values.h"

namespace mdn {}  // namespace mdn
