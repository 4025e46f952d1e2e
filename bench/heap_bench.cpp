// Region heap against the system's malloc, case by case. Every benchmark
// takes "malloc" as its first argument: 0 runs the region heap, 1 runs
// malloc/free on the same sequence, so the two report side by side.
#include "heap/region_heap.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <stdlib.h>
#include <vector>

namespace {

const int heapReady = (RegionHeapInit(), 1);

void *Allocate(bool system, uint32_t size) {
    return system ? malloc(size) : RegionHeapAlloc(size);
}

// Tells the compiler the block escapes, so a malloc/free pair is not elided.
// Passed by value: with GCC 12 at -O2 the by-reference form of DoNotOptimize
// lost a store to a pool slot it was given.
void Escape(const void *block) {
    benchmark::DoNotOptimize(static_cast<const void *>(block));
}

void Release(bool system, void *block) {
    if (system) {
        free(block);
    } else {
        RegionHeapFree(block);
    }
}

bool UseMalloc(benchmark::State &state) {
    bool system = state.range(0) != 0;
    state.SetLabel(system ? "malloc" : "region heap");
    return system;
}

struct Random {
    uint64_t state;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (uint32_t)(state >> 16);
    }
};

// Sizes from 16 B to 64 KiB, spread evenly over the powers of two, so that
// small requests dominate by count as they do in the stub.
std::vector<uint32_t> MixedSizes(size_t count) {
    Random random = {0x9E3779B97F4A7C15ull};
    std::vector<uint32_t> sizes(count);
    for (uint32_t &size : sizes) {
        uint32_t shift = 4 + random.Next() % 12;
        size = (1u << shift) + random.Next() % (1u << shift);
    }
    return sizes;
}

// One 64-byte allocation and its release. warm = 1 keeps another block live
// so a region stays; warm = 0 shows the cost of a region per pair on an
// otherwise empty heap.
void SmallPair(benchmark::State &state) {
    bool system = UseMalloc(state);
    void *keeper = state.range(1) ? Allocate(system, 64) : nullptr;
    for (auto _ : state) {
        void *block = Allocate(system, 64);
        Escape(block);
        Release(system, block);
    }
    Release(system, keeper);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SmallPair)->ArgNames({"malloc", "warm"})->ArgsProduct({{0, 1}, {1, 0}});

// A batch of 64-byte blocks, then their release in the same order, with
// another block keeping a region.
void SmallBatch(benchmark::State &state) {
    bool system = UseMalloc(state);
    void *keeper = Allocate(system, 64);
    std::vector<void *> blocks(state.range(1));
    for (auto _ : state) {
        for (void *&block : blocks) {
            block = Allocate(system, 64);
        }
        Escape(blocks.data());
        for (void *block : blocks) {
            Release(system, block);
        }
    }
    Release(system, keeper);
    state.SetItemsProcessed(state.iterations() * blocks.size());
}
BENCHMARK(SmallBatch)->ArgNames({"malloc", "batch"})->ArgsProduct({{0, 1}, {100, 10000}});

// A pool of live blocks of mixed sizes; each step replaces one at random.
void MixedChurn(benchmark::State &state) {
    bool system = UseMalloc(state);
    const size_t poolSize = 1000;
    std::vector<uint32_t> sizes = MixedSizes(1 << 16);
    std::vector<void *> pool(poolSize);
    size_t next = 0;
    for (void *&block : pool) {
        block = Allocate(system, sizes[next++]);
    }
    Random random = {12345};
    for (auto _ : state) {
        size_t slot = random.Next() % poolSize;
        Release(system, pool[slot]);
        pool[slot] = Allocate(system, sizes[next++ % sizes.size()]);
        Escape(pool[slot]);
    }
    for (void *block : pool) {
        Release(system, block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(MixedChurn)->ArgNames({"malloc"})->Arg(0)->Arg(1);

// What inflate asks for per stream: its state, then its 32 KiB window,
// released in reverse. Something else (the package directory) stays live.
void InflateStreams(benchmark::State &state) {
    bool system = UseMalloc(state);
    void *directory = Allocate(system, 20000);
    for (auto _ : state) {
        void *inflateState = Allocate(system, 7160);
        void *window = Allocate(system, 32768);
        Escape(inflateState);
        Escape(window);
        Release(system, window);
        Release(system, inflateState);
    }
    Release(system, directory);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(InflateStreams)->ArgNames({"malloc"})->Arg(0)->Arg(1);

struct Fragments {
    std::vector<void *> kept;    // handed-out blocks between the holes
    std::vector<uint32_t> holes; // sizes of the free blocks left between them
};

// Leaves `count` free blocks that cannot merge (each between two handed-out
// ones): three quarters small (16-512 B, spread over the small lists), one
// quarter large (4112-8192 B, all in the one size-ordered list).
Fragments Fragment(bool system, uint32_t count) {
    Random random = {0xC0FFEEull};
    Fragments fragments;
    std::vector<std::pair<uint32_t, void *>> holes;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t size = random.Next() % 4 ? 16 + random.Next() % 497 : 4112 + random.Next() % 4081;
        holes.push_back({size, Allocate(system, size)});
        fragments.kept.push_back(Allocate(system, 16));
        fragments.holes.push_back(size);
    }
    // Small holes by rising address and large ones by falling size: each
    // insertion then lands at the head of its list and setup stays linear.
    std::sort(holes.begin(), holes.end(), [](const auto &a, const auto &b) {
        bool aLarge = a.first > REGION_HEAP_SMALL_MAX;
        bool bLarge = b.first > REGION_HEAP_SMALL_MAX;
        if (aLarge != bLarge) {
            return bLarge;
        }
        return aLarge ? a.first > b.first : (uintptr_t)a.second < (uintptr_t)b.second;
    });
    for (const auto &hole : holes) {
        Release(system, hole.second);
    }
    return fragments;
}

// Releasing the kept blocks one by one would unlink a hole from the middle
// of a long singly linked list at every merge. Filling the holes first
// (smallest first, so each request takes a list head) and then releasing
// everything by rising address keeps every list short.
void Defragment(bool system, Fragments &fragments) {
    std::vector<void *> blocks = fragments.kept;
    std::sort(fragments.holes.begin(), fragments.holes.end());
    for (uint32_t size : fragments.holes) {
        blocks.push_back(Allocate(system, size));
    }
    std::sort(blocks.begin(), blocks.end(),
              [](void *a, void *b) { return (uintptr_t)a < (uintptr_t)b; });
    for (void *block : blocks) {
        Release(system, block);
    }
}

// One allocation and release of `request` bytes with `free` fragmented free
// blocks waiting: 48 B hits a small list, 6000 B a first fit inside the
// large list, 16 KiB walks past every large fragment.
void FragmentedRequest(benchmark::State &state) {
    bool system = UseMalloc(state);
    Fragments fragments = Fragment(system, (uint32_t)state.range(1));
    uint32_t request = (uint32_t)state.range(2);
    for (auto _ : state) {
        void *block = Allocate(system, request);
        Escape(block);
        Release(system, block);
    }
    if (!system) {
        RegionHeapStats stats;
        RegionHeapReadStats(&stats);
        state.counters["freeBlocks"] = stats.freeBlocks;
    }
    Defragment(system, fragments);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FragmentedRequest)
    ->ArgNames({"malloc", "free", "request"})
    ->ArgsProduct({{0, 1}, {1000, 10000, 100000}, {48, 6000, 16384}});

} // namespace
