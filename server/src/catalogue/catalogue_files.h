// What the service may do with the catalogue's files, found out before any of them is opened,
// so that a catalogue it cannot change is never changed (not even switched to another journal).
#pragma once

#include <string>

namespace cumulo::server {

struct CatalogueWritability {
    // Empty when the service can change the catalogue; else why not, naming the file or the
    // directory. SQLite writes the file and makes its journal files beside it, so both must be
    // writable.
    std::string problem;
    // Whether SQLite can make its files beside the catalogue (a reader of a catalogue whose
    // write-ahead log holds changes needs them).
    bool directory_writable = true;
};

CatalogueWritability catalogue_writability(const std::string& path);

// Empty, or why the catalogue cannot be read as an unchanging file: its write-ahead log holds
// changes not yet in the file, which a read-only directory keeps from being read.
std::string unread_changes(const std::string& path);

}  // namespace cumulo::server
