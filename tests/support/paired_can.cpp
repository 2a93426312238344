#include "paired_can.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>

#include "jointbus/DaMiao/damiao_codec.h"

namespace testsupport {

Responder::~Responder() {
    for (auto& w : workers) w.join();
}

void Responder::Attach(int fd, uint32_t masterId) {
    workers.emplace_back([this, fd, masterId] { Serve(fd, masterId); });
}

std::set<int> Responder::ThreadIds() {
    std::lock_guard<std::mutex> lock(idsMutex);
    return ids;
}

std::vector<Responder::Arrival> Responder::Arrivals() {
    std::lock_guard<std::mutex> lock(arrivalsMutex);
    return arrivals;
}

void Responder::Serve(int fd, uint32_t masterId) {
    {
        std::lock_guard<std::mutex> lock(idsMutex);
        ids.insert(int(syscall(SYS_gettid)));
    }
    Damiao::Ranges r;
    Damiao::RangesForModel(4310, r);
    bool enabled = false;
    float pos = 0;
    can_frame f{};
    while (read(fd, &f, sizeof f) == ssize_t(sizeof f)) {
        ++frames;
        bool special = f.can_dlc == 8;
        for (int i = 0; i < 7 && special; ++i) special = f.data[i] == 0xFF;
        if (special && f.data[7] == Damiao::kEnable) enabled = true;
        if (special && f.data[7] == Damiao::kDisable) enabled = false;
        if (special && f.data[7] == Damiao::kSaveZero) pos = 0;
        if (!special && enabled) pos = Damiao::DecodeMit(r, f.data).p;
        if (stamping.load()) {
            const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
            std::lock_guard<std::mutex> lock(arrivalsMutex);
            arrivals.push_back({ns, masterId, special ? NAN : Damiao::DecodeMit(r, f.data).p});
        }
        can_frame reply{};
        reply.can_id = masterId;
        reply.can_dlc = 8;
        Damiao::EncodeFeedback(r, enabled ? 1 : 0, pos, 0, 0, 30, reply.data);
        if (write(fd, &reply, sizeof reply) < 0) break;
    }
    close(fd);
}

PairedCan::PairedCan(const char* dev, const can_filter& filter, Responder& r)
    : DriverCan(dev, &filter, 8), responder(r), masterId(filter.can_id) {
    PairedCan::Open();
}

PairedCan::~PairedCan() {
    StopReceive();
}

int PairedCan::Open() {
    if (fd.load() >= 0) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    fd.store(pair[0]);
    responder.Attach(pair[1], masterId);
    return 0;
}

PairedMotor::PairedMotor(unsigned id, Responder& r, const std::string& interface)
    : damiaoMotor(4310, id, 0, 0x10 + id, interface, false, 15.0f, 1.0f), responder(r) {}

PairedMotor::~PairedMotor() {
    Shutdown();
}

DriverCan* PairedMotor::CreateDriver(const can_filter& filter) {
    return new PairedCan(dev_name.c_str(), filter, responder);
}

}  // namespace testsupport
