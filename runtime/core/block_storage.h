// The memory behind blocks. The program makes blocks by the thousand during a
// search (a lookup, a cell's text, freed a moment later), so small ones are
// kept on a per-thread list when freed and handed out again without a trip
// through the C library. Each thread also counts the blocks it made and freed
// without a shared atomic; the census adds the counts up.
//
// Under AddressSanitizer and ThreadSanitizer nothing is kept: every block
// goes back to the C library at once, so a use after free or a leak is still
// reported where it happens.
#pragma once
#include <cstddef>

namespace cu {

// `bytes` of zero-filled storage; null when memory runs out.
void* take_block_storage(std::size_t bytes);
// Gives back storage from take_block_storage, with the size it was taken with.
void give_back_block_storage(void* storage, std::size_t bytes);

// Storage taken and not given back, on every thread. Exact whenever no other
// thread is taking or giving back at the same time.
std::size_t live_block_storage();

}  // namespace cu
