// Region heap tests. Every test leaves the heap as it found it: no region,
// no committed pages beyond those it started with. RegionHeapCheck() walks
// every invariant after each interesting step.
#include "heap/region_heap.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define HEAP_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEAP_TEST_ASAN 1
#endif
#endif

namespace {

BlockHeader *HeaderOf(void *payload) {
    return (BlockHeader *)payload - 1;
}

BlockHeader *HeaderBehind(void *payload) {
    return (BlockHeader *)((uint8_t *)payload + HeaderOf(payload)->payloadSize);
}

RegionHeader *RegionOf(void *firstPayload) {
    return (RegionHeader *)firstPayload - 2;
}

RegionHeapStats Stats() {
    RegionHeapStats stats;
    RegionHeapReadStats(&stats);
    return stats;
}

uint32_t StandardRegion() {
    return Stats().standardRegionSize;
}

bool SameStats(const RegionHeapStats &a, const RegionHeapStats &b) {
    return a.regionCount == b.regionCount && a.usedBlocks == b.usedBlocks &&
           a.freeBlocks == b.freeBlocks && a.usedBytes == b.usedBytes && a.freeBytes == b.freeBytes;
}

struct Random {
    uint64_t state;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (uint32_t)(state >> 16);
    }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Next() % (high - low + 1); }
};

uint32_t PatternWord(uint32_t id, uint32_t index) {
    return (id * 0x9E3779B1u) ^ (index * 0x85EBCA77u) ^ 0xA5A5A5A5u;
}

void PatternFill(void *block, uint32_t size, uint32_t id) {
    uint32_t words = size / 4;
    for (uint32_t i = 0; i < words; i++) {
        ((uint32_t *)block)[i] = PatternWord(id, i);
    }
    for (uint32_t i = words * 4; i < size; i++) {
        ((uint8_t *)block)[i] = (uint8_t)PatternWord(id, i);
    }
}

bool PatternIntact(const void *block, uint32_t size, uint32_t id) {
    uint32_t words = size / 4;
    for (uint32_t i = 0; i < words; i++) {
        if (((const uint32_t *)block)[i] != PatternWord(id, i)) {
            return false;
        }
    }
    for (uint32_t i = words * 4; i < size; i++) {
        if (((const uint8_t *)block)[i] != (uint8_t)PatternWord(id, i)) {
            return false;
        }
    }
    return true;
}

class RegionHeapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        livePages = PlatformPagesLiveCount();
        ASSERT_EQ(Stats().regionCount, 0u) << "an earlier test left blocks handed out";
    }
    void TearDown() override {
        PlatformPagesFailAt(0);
        EXPECT_EQ(RegionHeapCheck(), 1);
        EXPECT_EQ(Stats().regionCount, 0u) << "blocks still handed out";
        EXPECT_EQ(PlatformPagesLiveCount(), livePages);
    }
    uint32_t livePages = 0;
};

// ---- Requests and rounding -------------------------------------------------

TEST_F(RegionHeapTest, RoundsRequestsToTheGranule) {
    void *blocks[] = {RegionHeapAlloc(1), RegionHeapAlloc(16), RegionHeapAlloc(17)};
    const uint32_t expected[] = {16, 16, 32};
    for (int i = 0; i < 3; i++) {
        ASSERT_NE(blocks[i], nullptr);
        EXPECT_EQ((uintptr_t)blocks[i] % 16, 0u);
        EXPECT_EQ(HeaderOf(blocks[i])->payloadSize, expected[i]);
    }
    EXPECT_EQ(RegionHeapCheck(), 1);
    for (void *block : blocks) {
        RegionHeapFree(block);
    }
}

// An armed page failure that is still pending afterwards proves that a
// request never reached the system.
TEST_F(RegionHeapTest, ZeroAndOversizedRequestsFailWithoutAskingTheSystem) {
    RegionHeapFree(nullptr);
    for (uint32_t size : {0u, 0xFFFFFFFFu, 0xFFFFFFF1u, 0xFFFFFFE0u, 0xFFFFFFD1u}) {
        PlatformPagesFailAt(1);
        EXPECT_EQ(RegionHeapAlloc(size), nullptr) << size;
        EXPECT_EQ(RegionHeapAlloc(16), nullptr) << "the system was asked for " << size;
    }
    PlatformPagesFailAt(1);
    EXPECT_EQ(RegionHeapAlloc(0xFFFFFFD0u), nullptr); // largest: asks and is refused
    void *small = RegionHeapAlloc(16);
    EXPECT_NE(small, nullptr);
    RegionHeapFree(small);
}

// ---- Regions ---------------------------------------------------------------

TEST_F(RegionHeapTest, FirstRequestCarvesAFreshStandardRegion) {
    ASSERT_EQ(PlatformAllocationGranularity(), 64u * 1024);
    ASSERT_EQ(StandardRegion(), 640u * 1024);
    uint32_t calls = PlatformPagesAllocCount();
    uint8_t *block = (uint8_t *)RegionHeapAlloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(PlatformPagesAllocCount(), calls + 1);
    EXPECT_EQ((uintptr_t)RegionOf(block) % (64 * 1024), 0u);
    EXPECT_EQ(RegionOf(block)->length, 640u * 1024 - 16);
    EXPECT_EQ(RegionOf(block)->nextRegion, nullptr);
    EXPECT_EQ(HeaderOf(block)->payloadSize, 112u);
    EXPECT_EQ(HeaderOf(block)->flags, BLOCK_USED);

    BlockHeader *rest = HeaderBehind(block);
    EXPECT_EQ(rest->payloadSize, 640u * 1024 - 160);
    EXPECT_EQ(rest->previousSize, 112u);
    EXPECT_EQ(rest->flags, BLOCK_FREE | BLOCK_LAST);
    RegionHeapStats stats = Stats();
    EXPECT_EQ(stats.regionCount, 1u);
    EXPECT_EQ(stats.freeBytes, 640u * 1024 - 160);
    RegionHeapFree(block);
    EXPECT_EQ(PlatformPagesLiveCount(), livePages);
}

TEST_F(RegionHeapTest, LargeRequestsGetARegionOfTheirOwn) {
    const uint32_t standard = StandardRegion();
    void *largestStandard = RegionHeapAlloc(standard - 32);
    ASSERT_NE(largestStandard, nullptr);
    EXPECT_EQ(HeaderOf(largestStandard)->payloadSize, standard - 32);
    EXPECT_EQ(HeaderOf(largestStandard)->flags, BLOCK_USED | BLOCK_LAST);
    EXPECT_EQ(RegionOf(largestStandard)->length, standard - 16);
    RegionHeapFree(largestStandard);
    EXPECT_EQ(Stats().regionCount, 0u);

    void *partial = RegionHeapAlloc(100); // a standard region with room to spare
    for (uint32_t size : {standard - 31, standard - 16, 3u * 1024 * 1024 + 5}) {
        uint32_t rounded = (size + 15) & ~15u;
        void *own = RegionHeapAlloc(size);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(HeaderOf(own)->payloadSize, rounded);
        EXPECT_EQ(HeaderOf(own)->flags, BLOCK_USED | BLOCK_LAST);
        EXPECT_EQ(RegionOf(own)->length, rounded + 16);
        EXPECT_EQ(Stats().regionCount, 2u);
        EXPECT_EQ(RegionHeapCheck(), 1);
        RegionHeapFree(own);
        EXPECT_EQ(Stats().regionCount, 1u);
    }
    RegionHeapFree(partial);
}

// Regions are chained newest first; release them from the middle, the tail
// and the head of that chain.
TEST_F(RegionHeapTest, LastReleaseReturnsItsRegionWhereverItIsChained) {
    const uint32_t standard = StandardRegion();
    void *oldest = RegionHeapAlloc(standard / 2);
    void *middle = RegionHeapAlloc(standard / 2);
    void *newest = RegionHeapAlloc(standard / 2);
    ASSERT_EQ(Stats().regionCount, 3u);
    void *order[] = {middle, oldest, newest};
    for (int i = 0; i < 3; i++) {
        RegionHeapFree(order[i]);
        EXPECT_EQ(Stats().regionCount, 2u - i);
        EXPECT_EQ(PlatformPagesLiveCount(), livePages + 2 - i);
        EXPECT_EQ(RegionHeapCheck(), 1);
    }
}

TEST_F(RegionHeapTest, ReleasesInAnyOrderMergeNeighbours) {
    const uint32_t sizes[] = {48, 4096, 5008, 16, 100000};
    int order[] = {0, 1, 2, 3, 4};
    do {
        void *blocks[5];
        for (int i = 0; i < 5; i++) {
            blocks[i] = RegionHeapAlloc(sizes[i]);
        }
        for (int i = 0; i < 5; i++) {
            RegionHeapFree(blocks[order[i]]);
            ASSERT_EQ(RegionHeapCheck(), 1) << "after release " << i;
            ASSERT_EQ(Stats().regionCount, i < 4 ? 1u : 0u);
        }
    } while (std::next_permutation(order, order + 5));
}

// ---- Carving and list choice -----------------------------------------------

TEST_F(RegionHeapTest, SplitsOnlyWhenMoreThan32BytesWouldRemain) {
    void *block = RegionHeapAlloc(64);
    void *guard = RegionHeapAlloc(16);
    RegionHeapFree(block);
    for (uint32_t size : {32u, 48u}) { // 48's own list is empty: the 64 is next
        void *whole = RegionHeapAlloc(size);
        EXPECT_EQ(whole, block);
        EXPECT_EQ(HeaderOf(whole)->payloadSize, 64u);
        RegionHeapFree(whole);
    }
    void *split = RegionHeapAlloc(16);
    EXPECT_EQ(split, block);
    EXPECT_EQ(HeaderOf(split)->payloadSize, 16u);
    EXPECT_EQ(HeaderBehind(split)->payloadSize, 32u);
    EXPECT_EQ(HeaderBehind(split)->flags, BLOCK_FREE);
    EXPECT_EQ(HeaderOf(guard)->previousSize, 32u);
    RegionHeapFree(split);
    EXPECT_EQ(HeaderOf(guard)->previousSize, 64u);
    RegionHeapFree(guard);
}

TEST_F(RegionHeapTest, EqualSmallBlocksAreTakenHighestAddressFirst) {
    int order[] = {0, 1, 2};
    do {
        void *blocks[3];
        void *guards[3];
        for (int i = 0; i < 3; i++) {
            blocks[i] = RegionHeapAlloc(32);
            guards[i] = RegionHeapAlloc(16);
        }
        for (int i : order) {
            RegionHeapFree(blocks[i]);
        }
        for (int i = 2; i >= 0; i--) {
            EXPECT_EQ(RegionHeapAlloc(32), blocks[i]);
        }
        for (int i = 0; i < 3; i++) {
            RegionHeapFree(blocks[i]);
            RegionHeapFree(guards[i]);
        }
    } while (std::next_permutation(order, order + 3));
}

TEST_F(RegionHeapTest, LargeListGivesBestFitAndNewestAmongEquals) {
    for (int newerFirst = 0; newerFirst < 2; newerFirst++) {
        const uint32_t sizes[] = {8192, 5008, 8192, 6000};
        void *blocks[4];
        void *guards[4];
        for (int i = 0; i < 4; i++) {
            blocks[i] = RegionHeapAlloc(sizes[i]);
            guards[i] = RegionHeapAlloc(16);
        }
        const int releases[2][4] = {{0, 1, 2, 3}, {2, 1, 0, 3}};
        for (int i : releases[newerFirst]) {
            RegionHeapFree(blocks[i]);
        }
        int newest8192 = releases[newerFirst][2];
        EXPECT_EQ(RegionHeapAlloc(5500), blocks[3]);
        EXPECT_EQ(RegionHeapAlloc(8192), blocks[newest8192]);
        EXPECT_EQ(RegionHeapAlloc(8192), blocks[2 - newest8192]);
        EXPECT_EQ(RegionHeapAlloc(5008), blocks[1]);
        for (int i = 0; i < 4; i++) {
            RegionHeapFree(blocks[i]);
            RegionHeapFree(guards[i]);
        }
    }
}

// 4096 is the top small class; 4097 rounds to 4112, the first large size.
// A small request with its own lists empty climbs to the next non-empty one,
// then falls back to the head of the large list.
TEST_F(RegionHeapTest, SmallAndLargeClassesMeetAt4096) {
    void *top = RegionHeapAlloc(4096);
    void *guard1 = RegionHeapAlloc(16);
    void *large = RegionHeapAlloc(4097);
    void *guard2 = RegionHeapAlloc(16);
    EXPECT_EQ(HeaderOf(top)->payloadSize, 4096u);
    EXPECT_EQ(HeaderOf(large)->payloadSize, 4112u);
    RegionHeapFree(top);
    RegionHeapFree(large);
    EXPECT_EQ(RegionHeapAlloc(4097), large);
    EXPECT_EQ(RegionHeapAlloc(4096), top);
    RegionHeapFree(large);
    EXPECT_EQ(RegionHeapAlloc(4096), large); // 4112 - 4096 = 16: taken whole
    EXPECT_EQ(HeaderOf(large)->payloadSize, 4112u);

    RegionHeapFree(top);
    RegionHeapFree(large);
    void *first = RegionHeapAlloc(16); // list 255 is the first non-empty one
    EXPECT_EQ(first, top);
    EXPECT_EQ(RegionHeapAlloc(4080), large); // the 4064 rest is too small
    EXPECT_EQ(RegionHeapAlloc(16), (uint8_t *)top + 32);
    RegionHeapFree((uint8_t *)top + 32);
    RegionHeapFree(first);
    RegionHeapFree(large);
    RegionHeapFree(guard1);
    RegionHeapFree(guard2);
}

// ---- Failures --------------------------------------------------------------

TEST_F(RegionHeapTest, RefusedRegionLeavesTheHeapUnchanged) {
    PlatformPagesFailAt(1);
    EXPECT_EQ(RegionHeapAlloc(16), nullptr);
    EXPECT_EQ(Stats().regionCount, 0u);

    void *block = RegionHeapAlloc(100);
    RegionHeapStats before = Stats();
    uint32_t calls = PlatformPagesAllocCount();
    PlatformPagesFailAt(1);
    EXPECT_EQ(RegionHeapAlloc(StandardRegion()), nullptr);
    EXPECT_TRUE(SameStats(Stats(), before));
    EXPECT_EQ(RegionHeapCheck(), 1);
    void *fits = RegionHeapAlloc(64);
    EXPECT_NE(fits, nullptr);
    EXPECT_EQ(PlatformPagesAllocCount(), calls);

    PlatformPagesFailAt(2); // the second call to the system fails, not the first
    void *own = RegionHeapAlloc(StandardRegion());
    EXPECT_NE(own, nullptr);
    EXPECT_EQ(RegionHeapAlloc(StandardRegion()), nullptr);
    RegionHeapFree(own);
    RegionHeapFree(fits);
    RegionHeapFree(block);
}

// Out of contract, but cheap to make harmless when the header still says free.
TEST_F(RegionHeapTest, SecondReleaseOfAnUnmergedBlockIsIgnored) {
    void *block = RegionHeapAlloc(64);
    void *guard = RegionHeapAlloc(16);
    RegionHeapFree(block);
    RegionHeapStats before = Stats();
    RegionHeapFree(block);
    EXPECT_TRUE(SameStats(Stats(), before));
    EXPECT_EQ(RegionHeapCheck(), 1);
    RegionHeapFree(guard);
}

#ifdef HEAP_TEST_ASAN
TEST_F(RegionHeapTest, AddressSanitizerSeesInsideTheHeap) {
    void *keep = RegionHeapAlloc(16); // holds the region while the other comes and goes
    volatile uint8_t *block = (volatile uint8_t *)RegionHeapAlloc(100);
    block[99] = 1;
    EXPECT_DEATH(block[100] = 1, "use-after-poison");
    RegionHeapFree((void *)block);
    EXPECT_DEATH(block[0] = 1, "use-after-poison"); // where a 64-bit free block keeps its link
    EXPECT_DEATH(block[50] = 1, "use-after-poison");
    EXPECT_DEATH(block[112] = 1, "use-after-poison"); // the header its merge swallowed
    RegionHeapFree(keep);
}
#endif

// ---- Long runs -------------------------------------------------------------

struct LiveBlock {
    void *block;
    uint32_t size;
    uint32_t id;
};

// Mostly small, some around the small/large boundary, few beyond a
// standard region.
uint32_t RandomSize(Random &random) {
    uint32_t pick = random.Next() % 1000;
    if (pick < 700) {
        return random.Between(1, 256);
    }
    if (pick < 900) {
        return random.Between(257, 4200);
    }
    if (pick < 995) {
        return random.Between(4201, 64 * 1024);
    }
    if (pick < 999) {
        return random.Between(64 * 1024, 700 * 1024);
    }
    return random.Between(700 * 1024, 3 * 1024 * 1024);
}

TEST_F(RegionHeapTest, RandomSequenceMatchesAModel) {
#ifdef _WIN32
    const int steps = 20000; // Wine may itself run under an emulator
#else
    const int steps = 120000;
#endif
    const uint32_t standardBlock = StandardRegion() - 32;
    Random random = {0x243F6A8885A308D3ull};
    std::vector<LiveBlock> live;
    uint64_t usedBytes = 0;
    uint32_t nextId = 1;
    for (int step = 0; step < steps; step++) {
        // Phases of growth and shrinkage, so regions fill up and empty out.
        uint32_t allocPercent = (step / 4000) % 2 == 0 ? 60 : 40;
        if (live.empty() || random.Next() % 100 < allocPercent) {
            uint32_t size = RandomSize(random);
            uint32_t rounded = (size + 15) & ~15u;
            bool armed = step % 997 == 0;
            RegionHeapStats before = armed ? Stats() : RegionHeapStats{};
            PlatformPagesFailAt(armed ? 1 : 0);
            void *block = RegionHeapAlloc(size);
            PlatformPagesFailAt(0);
            if (!block) {
                ASSERT_TRUE(armed) << "step " << step;
                ASSERT_TRUE(SameStats(Stats(), before)) << "step " << step;
                continue;
            }
            uint32_t payload = HeaderOf(block)->payloadSize;
            ASSERT_EQ((uintptr_t)block % 16, 0u);
            ASSERT_GE(payload, rounded);
            ASSERT_LE(payload, rounded > standardBlock ? rounded : rounded + 32);
            PatternFill(block, size, nextId);
            live.push_back({block, size, nextId++});
            usedBytes += payload;
        } else {
            size_t index = random.Next() % live.size();
            LiveBlock victim = live[index];
            live[index] = live.back();
            live.pop_back();
            ASSERT_TRUE(PatternIntact(victim.block, victim.size, victim.id)) << "step " << step;
            usedBytes -= HeaderOf(victim.block)->payloadSize;
            RegionHeapFree(victim.block);
        }
        ASSERT_EQ(RegionHeapCheck(), 1) << "step " << step;
        RegionHeapStats stats = Stats();
        ASSERT_EQ(stats.usedBlocks, live.size()) << "step " << step;
        ASSERT_EQ(stats.usedBytes, usedBytes) << "step " << step;
    }
    for (const LiveBlock &entry : live) {
        ASSERT_TRUE(PatternIntact(entry.block, entry.size, entry.id));
        RegionHeapFree(entry.block);
    }
}

struct Worker {
    uint32_t seed;
    int steps;
    bool ok;
};

void WorkerRun(Worker *worker) {
    const int slotCount = 64;
    void *slots[slotCount] = {};
    uint32_t sizes[slotCount] = {};
    Random random = {worker->seed};
    worker->ok = true;
    for (int step = 0; step < worker->steps; step++) {
        int slot = (int)(random.Next() % slotCount);
        uint32_t id = worker->seed * slotCount + slot;
        if (slots[slot]) {
            worker->ok = worker->ok && PatternIntact(slots[slot], sizes[slot], id);
            RegionHeapFree(slots[slot]);
            slots[slot] = nullptr;
        } else {
            sizes[slot] =
                random.Next() % 8 == 0 ? random.Between(4097, 100000) : random.Between(1, 512);
            slots[slot] = RegionHeapAlloc(sizes[slot]);
            worker->ok = worker->ok && slots[slot];
            if (slots[slot]) {
                PatternFill(slots[slot], sizes[slot], id);
            }
        }
    }
    for (int slot = 0; slot < slotCount; slot++) {
        RegionHeapFree(slots[slot]);
    }
}

#ifdef _WIN32
DWORD WINAPI WorkerThread(LPVOID worker) {
    WorkerRun((Worker *)worker);
    return 0;
}
#endif

TEST_F(RegionHeapTest, ConcurrentThreadsKeepTheHeapConsistent) {
    const int threadCount = 4;
#ifdef _WIN32
    const int steps = 5000;
#else
    const int steps = 50000;
#endif
    Worker workers[threadCount];
    for (int i = 0; i < threadCount; i++) {
        workers[i] = {(uint32_t)(i + 1) * 7919, steps, false};
    }
#ifdef _WIN32
    HANDLE threads[threadCount];
    for (int i = 0; i < threadCount; i++) {
        threads[i] = CreateThread(nullptr, 0, WorkerThread, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    WaitForMultipleObjects(threadCount, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
#else
    std::vector<std::thread> threads;
    for (Worker &worker : workers) {
        threads.emplace_back(WorkerRun, &worker);
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
#endif
    for (const Worker &worker : workers) {
        EXPECT_TRUE(worker.ok) << "seed " << worker.seed;
    }
}

} // namespace
