// Support libraries that the first window does not need, bound late. `netsup`
// maps libcurl with its TLS, Kerberos and LDAP libraries: about 15 ms of CPU,
// a quarter of a start. A start still checks it: it binds it as before unless
// a record in the user's runtime directory says it bound with exactly the files that are
// there now (the library and every library it mapped, by device, inode, size
// and times, under the same search path and ld.so.cache, for the same wanted
// version). So a library that cannot be bound still ends the start with its
// message before anything shows, and a start with nothing changed since the
// last one leaves the mapping until after its window shows.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"
#include "library_binding.h"

namespace cu::ostal {

// Whether the library of this short name is bound late.
bool binds_late(std::string_view short_name);

struct LateLibrary {
    std::size_t index;  // its position in the image's list
    image::SupportLibrary wanted;
};

// Binds `library` now, as a start without a record does, and records the
// files it mapped when it bound. False with *error as bind_library gives it.
bool bind_and_record(const LateLibrary& library, const LibraryPlace& place, BoundLibrary* bound, std::string* error);
// Whether the record says `library` bound with the files that are there now.
bool recorded_as_bound(const LateLibrary& library, const LibraryPlace& place);

// The libraries left for later, where their files are and the image's name.
void set_late_libraries(std::vector<LateLibrary> late, LibraryPlace place, std::string image_name);
// Late library `index`, bound now if it is not yet (any thread; once). A
// library that cannot be bound after all ends the process with the start's
// message.
const BoundLibrary& late_library(std::size_t index);
// Binds the late libraries on a thread of their own, so that the first search
// finds them bound; a failure there is left for the first use to report.
void bind_late_libraries_soon();

}  // namespace cu::ostal
