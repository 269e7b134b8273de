// The parking lot: one lock for all dispatcher-object state and a hashed array of condition
// variables that waiting threads park on, keyed by the object's address.
#include <array>
#include <chrono>
#include <functional>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host::detail {

std::chrono::nanoseconds RealSpanFor(LONGLONG units);

namespace {

constexpr size_t kBuckets = 64;

struct ParkingLot {
    std::mutex lock;
    std::array<std::condition_variable, kBuckets> buckets;
};

ParkingLot& TheLot()
{
    static ParkingLot* lot = new ParkingLot;  // never destroyed: threads may park at exit
    return *lot;
}

}  // namespace

std::mutex& ParkingLock()
{
    return TheLot().lock;
}

std::condition_variable& BucketFor(const void* address)
{
    size_t hash = std::hash<const void*>{}(address);
    hash ^= hash >> 17;
    return TheLot().buckets[(hash >> 4) % kBuckets];
}

void WakeAddress(const void* address)
{
    BucketFor(address).notify_all();
}

void WakeEveryone()
{
    ParkingLot& lot = TheLot();
    std::lock_guard guard(lot.lock);
    for (auto& bucket : lot.buckets) bucket.notify_all();
}

void ParkOnce(std::unique_lock<std::mutex>& lock, const void* address, LONGLONG deadline)
{
    std::condition_variable& bucket = BucketFor(address);
    if (deadline == kNoDeadline) {
        bucket.wait(lock);
        return;
    }
    bucket.wait_for(lock, RealSpanFor(deadline - InterruptTime()));
}

}  // namespace nimbra::host::detail
