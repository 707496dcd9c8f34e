// A unit id the layout does not hold.
#include "services.h"
extern "C" void t_start() { __svc_WriteUnitProperty(CU_ABS(__unit_52010001), CU_ABS(__unit_16019999), 8, -1, 0, 0); }
