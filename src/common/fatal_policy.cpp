#include "common/fatal_policy.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "jointbus/common/fatal_policy.h"

namespace {
std::atomic<jointbus::OnFatal> policy{jointbus::OnFatal::kExitProcess};
std::atomic<bool> anyOwed{false};
std::mutex owedMutex;
std::vector<std::string>& Owed() {
    static auto* const owed = new std::vector<std::string>;  // never destroyed: ticks run late
    return *owed;
}
}  // namespace

namespace jointbus {

void SetFatalPolicy(OnFatal p) {
    policy.store(p == OnFatal::kDisableBus ? OnFatal::kDisableBus : OnFatal::kExitProcess);
}

OnFatal GetFatalPolicy() {
    return policy.load();
}

}  // namespace jointbus

namespace jointbus_detail {

void OweBusDisable(const std::string& bus) {
    std::lock_guard<std::mutex> lock(owedMutex);
    if (std::find(Owed().begin(), Owed().end(), bus) == Owed().end()) Owed().push_back(bus);
    anyOwed.store(true, std::memory_order_relaxed);
}

bool TakeBusDisable(const std::string& bus) {
    if (!anyOwed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(owedMutex);
    auto found = std::find(Owed().begin(), Owed().end(), bus);
    if (found == Owed().end()) return false;
    Owed().erase(found);
    anyOwed.store(!Owed().empty(), std::memory_order_relaxed);
    return true;
}

void EndProcess() {
    std::fflush(nullptr);
    _exit(1);
}

}  // namespace jointbus_detail
