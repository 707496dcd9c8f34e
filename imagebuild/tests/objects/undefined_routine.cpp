// A call of a routine that no object defines.
#include "services.h"
extern "C" void Missing();
extern "C" void t_start() { Missing(); }
