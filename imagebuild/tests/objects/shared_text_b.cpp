#include "services.h"
extern "C" const char* TextB() { return "shared text"; }
