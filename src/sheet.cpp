#include "sheet.h"

namespace mdn {}  // namespace mdn
