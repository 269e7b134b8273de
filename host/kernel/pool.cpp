// Pool: malloc underneath, with a side table of live blocks so that a pointer not from the pool
// and a second free are recognised, accounting for tests and benchmarks, and allocation-failure
// injection for low-resources tests.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace {

struct BlockInfo {
    size_t bytes;
    const char* file;
    uint32_t line;
    ULONG tag;
};

struct SiteFault {
    std::string fileSuffix;
    uint32_t line;  // 0 = any line of the file
};

// Fill pattern for fresh blocks: pool is not zeroed, and a recognisable pattern shows
// use of uninitialised memory.
constexpr unsigned char kFreshFill = 0xCD;
// Addresses freed and not handed out again, to tell a double free from a stranger pointer.
constexpr size_t kFreedMemory = 1 << 20;

struct Pool {
    std::mutex lock;  // guards everything below
    std::unordered_map<void*, BlockInfo> live;
    std::unordered_set<void*> freed;
    size_t liveBytes = 0;
    size_t peakBytes = 0;
    uint64_t allocations = 0;
    uint64_t failedAllocations = 0;
    uint64_t failCountdown = 0;  // 0 = off
    std::vector<SiteFault> siteFaults;
};

Pool& ThePool()
{
    static Pool* pool = new Pool;  // never destroyed: threads may free at exit
    return *pool;
}

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// True if an injected fault fails this allocation. Pool lock held.
bool InjectedFailure(Pool& pool, const NtCallSite& site)
{
    if (pool.failCountdown != 0 && --pool.failCountdown == 0) return true;
    for (const SiteFault& fault : pool.siteFaults) {
        if (EndsWith(site.file, fault.fileSuffix) && (fault.line == 0 || fault.line == site.line)) {
            return true;
        }
    }
    return false;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const NtCallSite& site)
{
    if (type == PagedPool && detail::ThreadIrql() > APC_LEVEL) {
        BugCheck("paged pool allocated above APC_LEVEL", site);
    }
    if (detail::ThreadIrql() > DISPATCH_LEVEL) {
        BugCheck("pool allocated above DISPATCH_LEVEL", site);
    }
    Pool& pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        if (InjectedFailure(pool, site)) {
            ++pool.failedAllocations;
            return nullptr;
        }
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    std::memset(block, kFreshFill, bytes);
    std::lock_guard guard(pool.lock);
    pool.live.emplace(block, BlockInfo{bytes, site.file, site.line, tag});
    pool.freed.erase(block);
    pool.liveBytes += bytes;
    if (pool.liveBytes > pool.peakBytes) pool.peakBytes = pool.liveBytes;
    ++pool.allocations;
    return block;
}

void Free(PVOID block, const NtCallSite& site)
{
    if (block == nullptr) BugCheck("pool freed not from the pool", site, "null pointer");
    Pool& pool = ThePool();
    enum { kFreed, kTwice, kStranger } outcome = kFreed;
    {
        std::lock_guard guard(pool.lock);
        auto it = pool.live.find(block);
        if (it == pool.live.end()) {
            outcome = pool.freed.count(block) != 0 ? kTwice : kStranger;
        } else {
            pool.liveBytes -= it->second.bytes;
            pool.live.erase(it);
            if (pool.freed.size() >= kFreedMemory) pool.freed.clear();
            pool.freed.insert(block);
        }
    }
    if (outcome == kTwice) BugCheck("pool freed twice", site);
    if (outcome == kStranger) BugCheck("pool freed not from the pool", site);
    std::free(block);
}

}  // namespace

PoolStats GetPoolStats()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    return PoolStats{pool.liveBytes, pool.peakBytes, pool.live.size(), pool.allocations, pool.failedAllocations};
}

void ResetPoolPeak()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.peakBytes = pool.liveBytes;
}

void FailAllocationAfter(uint64_t n)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failCountdown = n;
}

void FailAllocationsFrom(std::string_view fileSuffix, uint32_t line)
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.siteFaults.push_back(SiteFault{std::string(fileSuffix), line});
}

void ClearAllocationFaults()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failCountdown = 0;
    pool.siteFaults.clear();
}

std::vector<LiveBlock> LiveAllocations()
{
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    std::vector<LiveBlock> blocks;
    blocks.reserve(pool.live.size());
    for (const auto& [address, info] : pool.live) {
        blocks.push_back(LiveBlock{info.bytes, std::string(info.file) + ":" + std::to_string(info.line)});
    }
    return blocks;
}

void CheckNoPoolLeaks(const NtCallSite& caller)
{
    std::vector<LiveBlock> blocks = LiveAllocations();
    if (blocks.empty()) return;
    std::string detail = std::to_string(blocks.size()) + " block(s) still allocated:";
    for (const LiveBlock& block : blocks) {
        detail += "\n    " + std::to_string(block.bytes) + " bytes from " + block.site;
    }
    BugCheck("pool still allocated at driver unload", caller, detail);
}

}  // namespace nimbra::host

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, NtCallSite callSite)
{
    return nimbra::host::Allocate(PoolType, NumberOfBytes, 0, callSite);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, NtCallSite callSite)
{
    return nimbra::host::Allocate(PoolType, NumberOfBytes, Tag, callSite);
}

VOID ExFreePool(PVOID P, NtCallSite callSite)
{
    nimbra::host::Free(P, callSite);
}

VOID ExFreePoolWithTag(PVOID P, ULONG /*Tag*/, NtCallSite callSite)
{
    nimbra::host::Free(P, callSite);
}
