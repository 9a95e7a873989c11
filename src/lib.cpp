#include "lib.h"
