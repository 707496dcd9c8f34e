// A DLL-command index beyond the table.
#include "services.h"
extern "C" void t_start() { __svc_CallDllCommand(CU_ABS(__dll_7), 0, nullptr); }
