// A global read PC-relative instead of through cu_var_address.
#include "services.h"
extern "C" int32_t Direct;
int32_t Direct;
extern "C" int32_t t_start() { return Direct; }
