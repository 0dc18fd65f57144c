/* Compiled as C99 by the build: the header set is meant for C as much as for C++. */
#include "brimtale/runtime_api.h"
