// Script engines made ahead. Building an engine's heap (its built-in objects)
// takes about 0.2 ms, and a search makes one engine to decode its answer and
// drops it: one engine is built ahead on a thread of its own and dropped
// engines are destroyed there. An engine never used is as fresh as one built
// on the spot, so every script object still starts from a clean heap.
#pragma once
#include <memory>

#include "script_engine.h"

namespace cu {

// A fresh engine: the one built ahead when it is ready, else one built now.
// Either way the next is then built ahead. Throws std::bad_alloc as building
// does.
std::unique_ptr<ScriptEngine> fresh_script_engine();

// Destroys `engine` on the thread that builds ahead (here, when it is gone).
void drop_script_engine(std::unique_ptr<ScriptEngine> engine);

}  // namespace cu
