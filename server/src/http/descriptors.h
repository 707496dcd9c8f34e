// The service's file descriptors: every connection holds one, and so do the catalogue's
// connections and the event loop. The connection cap is derived from what the process may
// open, so that the service never runs out of descriptors by its own doing.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace cumulo::server {

// Raises the soft limit on open descriptors to the hard one; the soft limit in force after.
std::size_t raise_descriptor_limit();

// The connections that fit beside what the service itself needs, given its worker threads
// (each may hold a catalogue connection of a few descriptors) and `wanted`, the cap asked for.
std::size_t connections_within_descriptors(std::size_t wanted, unsigned workers);

// Thrown by a request's work when the process is out of descriptors: the answer is a 503,
// and the front door frees descriptors by closing its oldest idle connection.
class OutOfDescriptors : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace cumulo::server
