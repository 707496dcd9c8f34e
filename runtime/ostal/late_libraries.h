// Support libraries that the first window does not need, bound late. `netsup`
// maps libcurl with its TLS, Kerberos and LDAP libraries: about 15 ms of CPU,
// a quarter of a start. A start still checks it: it binds it as before unless
// a record in the user's runtime directory says it bound with everything the
// dynamic loader's choice of files depended on unchanged: the library and
// every library it mapped, and for each name they need every directory the
// loader searched before the one it found it in (with the hardware
// subdirectories under each, any file of that name it passed over, and the
// directory it was found in), by device, inode, size and times; ld.so.cache
// and /etc/ld.so.preload the same way; LD_LIBRARY_PATH, LD_PRELOAD and
// GLIBC_TUNABLES; the wanted version. So a library that cannot be bound still
// ends the start with its message before anything shows, and a start with
// nothing changed since the last one leaves the mapping until after its
// window shows. Should the late binding fail all the same, the record is
// removed and the program ends with the start's message and status, saying
// that the window had shown.
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
// message and removes its record.
const BoundLibrary& late_library(std::size_t index);
// Called once the window shows: binds the late libraries on a thread of their
// own, so that the first search finds them bound; a failure there ends the
// process as late_library does.
void bind_late_libraries_soon();

}  // namespace cu::ostal
