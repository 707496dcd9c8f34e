// Listening sockets handed over by systemd's socket activation (LISTEN_PID, LISTEN_FDS), and
// how a listening socket's address is written in the service's "listening on" line.
#pragma once

#include <string>
#include <vector>

namespace cumulo::server {

struct PassedSockets {
    std::vector<int> descriptors;  // empty when the process was started without sockets
    std::string error;             // empty unless the variables name sockets it cannot take
};

// Takes the sockets passed to this process and removes the variables that name them, so
// that nothing this process starts takes them too.
PassedSockets take_passed_sockets();

// "127.0.0.1:8930" or "[::1]:8930"; empty when the descriptor has no IP address.
std::string socket_address(int descriptor);

}  // namespace cumulo::server
