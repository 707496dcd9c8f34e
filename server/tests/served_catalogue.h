// The service on a loopback port over a catalogue a test has filled, as cumulo-server runs it:
// the live index, the writer (which lets in writes that carry `token`), the readers and the
// front door on a thread of its own.
#pragma once

#include "service.h"

#include <string>
#include <thread>
#include <vector>

class ServedCatalogue {
public:
    // `host_names`: what the service answers to besides its listen address.
    explicit ServedCatalogue(const std::string& path, cumulo::server::FrontDoorLimits limits = {},
                             const std::vector<std::string>& host_names = {})
        : writer(path, index), readers(path), service(readers, index, &writer, token), door(service, limits)
    {
        port = door.bind("127.0.0.1", 0);
        for (const std::string& name : host_names)
            door.serve_host_name(name);
        if (port > 0)
            thread = std::thread([this] { door.run(); });
    }
    ~ServedCatalogue()
    {
        door.stop();
        if (thread.joinable())
            thread.join();
    }
    ServedCatalogue(const ServedCatalogue&) = delete;
    ServedCatalogue& operator=(const ServedCatalogue&) = delete;

    const std::string token = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    cumulo::server::PublishedIndex index;
    cumulo::server::CatalogueWriter writer;
    cumulo::server::ReaderPool readers;
    cumulo::server::Service service;
    cumulo::server::FrontDoor door;
    int port = -1;
    std::thread thread;
};
