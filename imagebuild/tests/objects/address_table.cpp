// A table of addresses in read-only data.
#include "services.h"
extern "C" const char* t_start(int i)
{
    static const char* const names[] = {"first", "second", "third"};
    return names[i];
}
