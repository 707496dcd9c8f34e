// A mark that a service is serving a catalogue: a shared lock on the file "<catalogue>.serving",
// held while the service runs and let go by the system when it ends, however it ends. An
// import beside a running service looks for it to know that the service takes its shares in.
// (The catalogue file itself is not locked: closing any descriptor of it would drop the
// database's own locks in this process.)
#pragma once

#include <string>

namespace cumulo::server {

class ServingMark {
public:
    // Throws when the lock file cannot be made.
    explicit ServingMark(const std::string& catalogue_path);
    ~ServingMark();
    ServingMark(const ServingMark&) = delete;
    ServingMark& operator=(const ServingMark&) = delete;

private:
    int fd_ = -1;
};

// Whether some process holds a ServingMark for the catalogue.
bool catalogue_is_served(const std::string& catalogue_path);

}  // namespace cumulo::server
