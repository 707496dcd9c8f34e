// Thread-local storage.
#include "services.h"
thread_local int32_t PerThread;
extern "C" int32_t t_start() { return ++PerThread; }
