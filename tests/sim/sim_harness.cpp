// The simulator harness is header-only; other test folders still list this file.
#include "sim_harness.h"
