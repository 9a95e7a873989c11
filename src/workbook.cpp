#include "workbook.h"

namespace mdn {}  // namespace mdn
