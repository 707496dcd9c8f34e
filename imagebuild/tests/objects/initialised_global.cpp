// A global that does not start at zero.
#include "services.h"
extern "C" int32_t Preset;
int32_t Preset = 5;
extern "C" int32_t t_start() { return *cu_var_address(Preset); }
