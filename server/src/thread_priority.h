// Lowering the calling thread's priority, for work that searches should preempt (new index
// bases, writes). Only lowering: raising it back would need a privilege the service lacks.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace cumulo::server {

// The niceness of work that can wait for the searches.
inline constexpr int background_niceness = 10;

// Where a system-call filter refuses the call, the thread keeps the usual priority.
inline void lower_this_threads_priority(int niceness = background_niceness)
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
}

}  // namespace cumulo::server
