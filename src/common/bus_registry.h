#pragma once

// The objects that serve one bus each (a CAN interface's sender, a serial port's scheduler),
// found by the bus's name. Entries are never removed and their objects never destroyed: a
// device may deregister from its destructor at any time, even after main has returned.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace jointbus_detail {

template <class Server>
class BusRegistry {
public:
    // The server of `bus`. The first bus asked for gets `first`, the family's process-wide
    // instance, so that a process with one bus runs that one alone as before; every other bus
    // gets a server of its own from make(bus), made once.
    template <class Make>
    Server* For(const std::string& bus, Server* first, Make make) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& entry : servers)
            if (entry.first == bus) return entry.second;
        Server* server = servers.empty() ? first : make(bus);
        servers.emplace_back(bus, server);
        return server;
    }

    // Calls f(server) for every server handed out so far.
    template <class F>
    void ForEach(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& entry : servers) f(entry.second);
    }

private:
    std::mutex mutex;
    std::vector<std::pair<std::string, Server*>> servers;
};

}  // namespace jointbus_detail
