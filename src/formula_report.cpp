#include "formula_report.h"
