// The region heap: the program's own allocator. Every dynamic allocation of
// the stub and of the inflate library comes from here.
//
// Memory comes from the system in regions, by default 10 allocation granules
// (640 KiB with 64 KiB granules). Blocks are cut out of a region, each behind
// a 16-byte header; free blocks wait in 256 exact-size lists for payloads of
// 16 to 4096 bytes and in one size-ordered list for larger ones. A released
// block merges with its free neighbours at once, and a region goes back to
// the system as soon as all of its blocks are free again. One lock guards it
// all, so any thread may call in.
#pragma once

#include <stdint.h>

/*
** Layout and invariants, as RegionHeapCheck() verifies them.
**
** Sizes are unsigned 32-bit byte counts. The granule is 16 bytes: every
** header is 16 bytes and every payload a non-zero multiple of 16, so every
** payload starts on a 16-byte boundary (regions start on an allocation-
** granularity boundary).
**
**   region:  RegionHeader | BlockHeader payload | BlockHeader payload | ...
**
** - The blocks tile a region without gaps after its RegionHeader. The block
**   after B starts at B + 16 + B.payloadSize (none when B has BLOCK_LAST);
**   the one before starts at B - 16 - B.previousSize (none when
**   previousSize is 0). previousSize is the boundary tag, kept in every
**   block, free or handed out.
** - Sum over a region of (16 + payloadSize) == the region's length.
** - A standard region is standardRegionSize long (header included) and
**   starts as one free block of standardRegionSize - 32. A request larger
**   than that gets a region of its own whose one block is exactly the
**   rounded request.
** - flags: exactly one of BLOCK_FREE and BLOCK_USED; bit 2 and bits 4..31
**   clear; BLOCK_LAST exactly on the block that ends its region. A
**   neighbour counts as free only when (flags & 7) == BLOCK_FREE.
** - Every free block sits in exactly one list, the one its payloadSize
**   selects: small list k holds payloads of (k + 1) * 16 for k = 0..255, in
**   descending address order; the large list holds payloads of 4112 and
**   more in ascending size, a block going ahead of the equal sizes already
**   there (so among equals the newest is found first).
** - No two free blocks are physical neighbours.
** - Outside a call, every region holds at least one handed-out block.
**
** The free-list link is a 32-bit pointer in the header on 32-bit builds. On
** 64-bit builds a pointer does not fit, so a free block keeps its link in the
** first bytes of its own payload (payloads are at least 16 bytes) and the
** header's third word is unused; headers stay 16 bytes and the arithmetic is
** the same on both.
*/

const uint32_t BLOCK_FREE = 1;
const uint32_t BLOCK_USED = 2;
const uint32_t BLOCK_LAST = 8; // bit 2 (value 4) is never set

const uint32_t REGION_HEAP_GRANULE = 16;
const uint32_t REGION_HEAP_SMALL_LISTS = 256;
const uint32_t REGION_HEAP_SMALL_MAX = REGION_HEAP_SMALL_LISTS * REGION_HEAP_GRANULE; // 4096
// A block is handed out whole when at most this much of it would be left over.
const uint32_t REGION_HEAP_SPLIT_SLACK = 32;
// Standard regions are this many allocation granules long.
const uint32_t REGION_HEAP_REGION_GRANULES = 10;

struct RegionHeader {
    RegionHeader *nextRegion; // region created before this one, or null
    uint32_t length;          // bytes of the region behind this header
    uint8_t unused[16 - sizeof(RegionHeader *) - sizeof(uint32_t)];
};

struct BlockHeader {
    uint32_t payloadSize;  // without this header
    uint32_t previousSize; // payloadSize of the physical predecessor, 0 if first
#if UINTPTR_MAX == 0xFFFFFFFFu
    BlockHeader *nextFree; // next block of the same free list, while free
#else
    uint32_t unused; // the link lives in the free payload instead
#endif
    uint32_t flags;
};

static_assert(sizeof(RegionHeader) == 16, "region header must be one granule");
static_assert(sizeof(BlockHeader) == 16, "block header must be one granule");

// Sets up the process-wide heap: sizes the standard region from the system's
// allocation granularity, empties the region list and every free list and
// creates the lock (spin count 4000). Called once per process, before any
// other heap call; takes no lock.
void RegionHeapInit(void);

// Deletes the lock and nothing else: regions that still hold blocks stay
// committed until the process ends. Called once, after the last allocation
// and release; takes no lock.
void RegionHeapShutdown(void);

// Returns a payload of at least size bytes, aligned to 16 and not cleared:
// size rounded up to a multiple of 16, plus at most REGION_HEAP_SPLIT_SLACK
// bytes when the block found was not worth splitting. A request too large
// for a standard region's block gets a region of its own and exactly the
// rounded size.
// Returns null for size 0, for a size that would pass the 32-bit range once
// rounded and given a region's two headers (the system is not asked), and
// when the system refuses a new region; the heap is then unchanged.
void *RegionHeapAlloc(uint32_t size);

// Returns a block to the heap. block is null (ignored) or an address that
// RegionHeapAlloc returned and that has not been released since; anything
// else is outside the contract. The region is given back to the system when
// this was its last handed-out block.
void RegionHeapFree(void *block);

// ---- Test support ----------------------------------------------------------

// Walks every region and every free list under the lock. Returns 1 when all
// the invariants above hold, 0 at the first one that does not.
int RegionHeapCheck(void);

struct RegionHeapStats {
    uint32_t regionCount;
    uint32_t usedBlocks;
    uint32_t freeBlocks;
    uint32_t usedBytes; // payload bytes handed out
    uint32_t freeBytes; // payload bytes in free blocks
    uint32_t standardRegionSize;
};

// Fills stats from a walk of the regions, under the lock.
void RegionHeapReadStats(RegionHeapStats *stats);
