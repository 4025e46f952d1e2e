// The region heap. Layout, invariants and contracts are in region_heap.h.
#include "heap/region_heap.h"

#include "platform/platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define REGION_HEAP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REGION_HEAP_ASAN 1
#endif
#endif

#ifdef REGION_HEAP_ASAN
#include <sanitizer/asan_interface.h>
#endif

// ---- State -----------------------------------------------------------------

const uint32_t HEADER_SIZE = sizeof(BlockHeader);
const uint32_t LOCK_SPIN_COUNT = 4000;
// The largest request that can be rounded up and still be given a region's
// two headers inside the 32-bit range.
const uint32_t LARGEST_REQUEST = (0xFFFFFFFFu - 2 * HEADER_SIZE) & ~(REGION_HEAP_GRANULE - 1);
// Bounds the checker's walk of the region list, so that a cycle ends.
const uint32_t CHECK_REGION_LIMIT = 1u << 24;

struct RegionHeap {
    PlatformLock lock;
    RegionHeader *regions; // newest first
    uint32_t standardRegionSize;
    uint32_t granularity;
    BlockHeader *smallFree[REGION_HEAP_SMALL_LISTS]; // descending address
    BlockHeader *largeFree;                          // ascending size, newest first
    // Bit k is set while small list k is not empty: finding the first
    // non-empty list from k upward then costs a few word tests, not a scan
    // of up to 256 heads.
    uint32_t smallMap[REGION_HEAP_SMALL_LISTS / 32];
};

static RegionHeap heap;

// ---- AddressSanitizer ------------------------------------------------------
// Free payloads and the unrequested tail of handed-out ones are poisoned, so
// that ASan reports use after release and overflows inside the heap. Live
// headers stay addressable; one swallowed by a merge is free payload now and
// is poisoned with it.

static void MemoryPoison(const void *address, uint32_t size) {
#ifdef REGION_HEAP_ASAN
    ASAN_POISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

static void MemoryUnpoison(const void *address, uint32_t size) {
#ifdef REGION_HEAP_ASAN
    ASAN_UNPOISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

// ---- Blocks ----------------------------------------------------------------

static uint8_t *BlockPayload(BlockHeader *block) {
    return (uint8_t *)(block + 1);
}

static BlockHeader *BlockNext(BlockHeader *block) {
    return (BlockHeader *)(BlockPayload(block) + block->payloadSize);
}

static BlockHeader *BlockPrevious(BlockHeader *block) {
    return (BlockHeader *)((uint8_t *)block - HEADER_SIZE - block->previousSize);
}

static BlockHeader *RegionFirstBlock(RegionHeader *region) {
    return (BlockHeader *)(region + 1);
}

static int BlockIsFree(const BlockHeader *block) {
    return (block->flags & 7) == BLOCK_FREE;
}

static int BlockIsSmall(const BlockHeader *block) {
    return block->payloadSize <= REGION_HEAP_SMALL_MAX;
}

static int BlockIsAbove(const BlockHeader *block, const BlockHeader *other) {
    return (uintptr_t)block > (uintptr_t)other;
}

#if UINTPTR_MAX == 0xFFFFFFFFu
static BlockHeader *BlockNextFree(BlockHeader *block) {
    return block->nextFree;
}

static void BlockSetNextFree(BlockHeader *block, BlockHeader *next) {
    block->nextFree = next;
}
#else
// The link sits in the poisoned payload of a free block; it is made
// addressable only for the moment the heap touches it.
static BlockHeader *BlockNextFree(BlockHeader *block) {
    BlockHeader **link = (BlockHeader **)BlockPayload(block);
    MemoryUnpoison(link, sizeof *link);
    BlockHeader *next = *link;
    MemoryPoison(link, sizeof *link);
    return next;
}

static void BlockSetNextFree(BlockHeader *block, BlockHeader *next) {
    BlockHeader **link = (BlockHeader **)BlockPayload(block);
    MemoryUnpoison(link, sizeof *link);
    *link = next;
    MemoryPoison(link, sizeof *link);
}
#endif

// ---- Free lists ------------------------------------------------------------

static uint32_t SmallListIndex(uint32_t payloadSize) {
    return payloadSize / REGION_HEAP_GRANULE - 1;
}

static BlockHeader **FreeListHead(const BlockHeader *block) {
    if (BlockIsSmall(block)) {
        return &heap.smallFree[SmallListIndex(block->payloadSize)];
    }
    return &heap.largeFree;
}

static void SmallMapUpdate(uint32_t index) {
    uint32_t bit = 1u << (index % 32);
    if (heap.smallFree[index]) {
        heap.smallMap[index / 32] |= bit;
    } else {
        heap.smallMap[index / 32] &= ~bit;
    }
}

// The first non-empty small list from index upward, or REGION_HEAP_SMALL_LISTS.
static uint32_t SmallMapFind(uint32_t index) {
    uint32_t word = index / 32;
    uint32_t bits = heap.smallMap[word] & (0xFFFFFFFFu << (index % 32));
    while (bits == 0) {
        if (++word == REGION_HEAP_SMALL_LISTS / 32) {
            return REGION_HEAP_SMALL_LISTS;
        }
        bits = heap.smallMap[word];
    }
    return word * 32 + (uint32_t)__builtin_ctz(bits);
}

// Links block in behind previous, or at the head when previous is null.
static void FreeListLinkAfter(BlockHeader **head, BlockHeader *previous, BlockHeader *block) {
    if (previous) {
        BlockSetNextFree(block, BlockNextFree(previous));
        BlockSetNextFree(previous, block);
    } else {
        BlockSetNextFree(block, *head);
        *head = block;
    }
}

static void FreeListUnlinkAfter(BlockHeader **head, BlockHeader *previous, BlockHeader *block) {
    BlockHeader *next = BlockNextFree(block);
    if (previous) {
        BlockSetNextFree(previous, next);
    } else {
        *head = next;
    }
}

static void FreeListInsert(BlockHeader *block) {
    BlockHeader **head = FreeListHead(block);
    BlockHeader *previous = 0;
    BlockHeader *cursor = *head;
    if (BlockIsSmall(block)) {
        while (cursor && BlockIsAbove(cursor, block)) {
            previous = cursor;
            cursor = BlockNextFree(cursor);
        }
        FreeListLinkAfter(head, previous, block);
        SmallMapUpdate(SmallListIndex(block->payloadSize));
        return;
    }
    while (cursor && cursor->payloadSize < block->payloadSize) {
        previous = cursor;
        cursor = BlockNextFree(cursor);
    }
    FreeListLinkAfter(head, previous, block);
}

// block is on the list its size selects; the lists are singly linked, so
// this walks to it.
static void FreeListUnlink(BlockHeader *block) {
    BlockHeader **head = FreeListHead(block);
    BlockHeader *previous = 0;
    BlockHeader *cursor = *head;
    while (cursor != block) {
        previous = cursor;
        cursor = BlockNextFree(cursor);
    }
    FreeListUnlinkAfter(head, previous, block);
    if (BlockIsSmall(block)) {
        SmallMapUpdate(SmallListIndex(block->payloadSize));
    }
}

// Finds and unlinks a free block of at least size bytes: the highest block
// of the first non-empty small list from size's own upward, else the first
// fit of the large list, which is the best fit. Null when none fits.
static BlockHeader *FreeListTake(uint32_t size) {
    if (size <= REGION_HEAP_SMALL_MAX) {
        uint32_t index = SmallMapFind(SmallListIndex(size));
        if (index < REGION_HEAP_SMALL_LISTS) {
            BlockHeader *block = heap.smallFree[index];
            heap.smallFree[index] = BlockNextFree(block);
            SmallMapUpdate(index);
            return block;
        }
    }
    BlockHeader *previous = 0;
    BlockHeader *cursor = heap.largeFree;
    while (cursor && cursor->payloadSize < size) {
        previous = cursor;
        cursor = BlockNextFree(cursor);
    }
    if (cursor) {
        FreeListUnlinkAfter(&heap.largeFree, previous, cursor);
    }
    return cursor;
}

// ---- Regions ---------------------------------------------------------------

// Makes a region for a request of size bytes and returns its one block, free
// but in no list (it is taken at once). A standard region unless the request
// is larger than a standard region's block; then exactly size. Null, with
// nothing changed, when the system refuses.
static BlockHeader *RegionCreate(uint32_t size) {
    uint32_t standardBlock = heap.standardRegionSize - 2 * HEADER_SIZE;
    uint32_t length =
        size <= standardBlock ? heap.standardRegionSize - HEADER_SIZE : size + HEADER_SIZE;
    RegionHeader *region = (RegionHeader *)PlatformPagesAlloc(length + HEADER_SIZE);
    if (!region) {
        return 0;
    }
    region->nextRegion = heap.regions;
    region->length = length;
    heap.regions = region;

    BlockHeader *block = RegionFirstBlock(region);
    block->payloadSize = length - HEADER_SIZE;
    block->previousSize = 0;
    block->flags = BLOCK_FREE | BLOCK_LAST;
    BlockSetNextFree(block, 0);
    MemoryPoison(BlockPayload(block), block->payloadSize);
    return block;
}

static void RegionRelease(RegionHeader *region) {
    RegionHeader **link = &heap.regions;
    while (*link != region) {
        link = &(*link)->nextRegion;
    }
    *link = region->nextRegion;
    uint32_t size = region->length + HEADER_SIZE;
    // The same addresses may come back from the system for something else.
    MemoryUnpoison(region, size);
    PlatformPagesFree(region, size);
}

// ---- Carving and merging ---------------------------------------------------

// Hands out the low size bytes of free block (already unlinked); the rest
// becomes a free block of its own unless it is REGION_HEAP_SPLIT_SLACK bytes
// or less, which stay attached. requested is what the caller asked for:
// only that much is made addressable to ASan.
static void *BlockCarve(BlockHeader *block, uint32_t size, uint32_t requested) {
    uint32_t last = block->flags & BLOCK_LAST;
    block->flags = last | BLOCK_USED;
    if (block->payloadSize - size > REGION_HEAP_SPLIT_SLACK) {
        BlockHeader *rest = (BlockHeader *)(BlockPayload(block) + size);
        MemoryUnpoison(rest, HEADER_SIZE);
        rest->payloadSize = block->payloadSize - size - HEADER_SIZE;
        rest->previousSize = size;
        rest->flags = BLOCK_FREE | last;
        BlockSetNextFree(rest, 0);
        block->payloadSize = size;
        block->flags = BLOCK_USED;
        if (!last) {
            BlockNext(rest)->previousSize = rest->payloadSize;
        }
        FreeListInsert(rest);
    }
    MemoryUnpoison(BlockPayload(block), requested);
    return BlockPayload(block);
}

// Merges next, the free physical successor of block (already unlinked),
// into block: the merged block keeps the lower header.
static void BlockAbsorbNext(BlockHeader *block, BlockHeader *next) {
    block->payloadSize += HEADER_SIZE + next->payloadSize;
    if (next->flags & BLOCK_LAST) {
        block->flags |= BLOCK_LAST;
    } else {
        BlockNext(block)->previousSize = block->payloadSize;
    }
    MemoryPoison(next, HEADER_SIZE);
}

static void BlockRelease(BlockHeader *block) {
    block->flags = (block->flags & BLOCK_LAST) | BLOCK_FREE;
    MemoryPoison(BlockPayload(block), block->payloadSize);
    if (block->previousSize != 0) {
        BlockHeader *previous = BlockPrevious(block);
        if (BlockIsFree(previous)) {
            FreeListUnlink(previous);
            BlockAbsorbNext(previous, block);
            block = previous;
        }
    }
    if (!(block->flags & BLOCK_LAST)) {
        BlockHeader *next = BlockNext(block);
        if (BlockIsFree(next)) {
            FreeListUnlink(next);
            BlockAbsorbNext(block, next);
        }
    }
    // A block that is its region's first and last is the whole region: the
    // region goes back to the system instead of into a list.
    if (block->previousSize == 0 && (block->flags & BLOCK_LAST)) {
        RegionRelease((RegionHeader *)block - 1);
    } else {
        FreeListInsert(block);
    }
}

// ---- Interface -------------------------------------------------------------

void RegionHeapInit(void) {
    heap.granularity = PlatformAllocationGranularity();
    heap.standardRegionSize = REGION_HEAP_REGION_GRANULES * heap.granularity;
    heap.regions = 0;
    PlatformLockInit(&heap.lock, LOCK_SPIN_COUNT);
    for (uint32_t i = 0; i < REGION_HEAP_SMALL_LISTS; i++) {
        heap.smallFree[i] = 0;
    }
    for (uint32_t i = 0; i < REGION_HEAP_SMALL_LISTS / 32; i++) {
        heap.smallMap[i] = 0;
    }
    heap.largeFree = 0;
}

void RegionHeapShutdown(void) {
    PlatformLockDelete(&heap.lock);
}

void *RegionHeapAlloc(uint32_t size) {
    if (size == 0 || size > LARGEST_REQUEST) {
        return 0;
    }
    uint32_t rounded = (size + REGION_HEAP_GRANULE - 1) & ~(REGION_HEAP_GRANULE - 1);
    void *result = 0;
    PlatformLockEnter(&heap.lock);
    BlockHeader *block = FreeListTake(rounded);
    if (!block) {
        block = RegionCreate(rounded);
    }
    if (block) {
        result = BlockCarve(block, rounded, size);
    }
    PlatformLockLeave(&heap.lock);
    return result;
}

void RegionHeapFree(void *block) {
    if (!block) {
        return;
    }
    BlockHeader *header = (BlockHeader *)block - 1;
    PlatformLockEnter(&heap.lock);
    // A header that is not exactly "handed out" means a second release or a
    // foreign address: ignoring it is cheaper than the damage it would do.
    if ((header->flags & ~BLOCK_LAST) == BLOCK_USED) {
        BlockRelease(header);
    }
    PlatformLockLeave(&heap.lock);
}

// ---- Checker ---------------------------------------------------------------

// An upper bound on the number of blocks in all regions (every block takes
// at least 32 bytes), or 0 when the region list is absurd.
static uint32_t CheckBlockLimit(void) {
    uint32_t limit = 0;
    uint32_t regionCount = 0;
    for (RegionHeader *region = heap.regions; region; region = region->nextRegion) {
        if (++regionCount > CHECK_REGION_LIMIT) {
            return 0;
        }
        limit += region->length / (2 * HEADER_SIZE);
    }
    return limit + 1;
}

// Walks one free list, at most limit blocks, checking what its entries have
// in common: free, the right size class, in order. Returns the entry count,
// or limit + 1 on the first fault.
static uint32_t CheckFreeList(BlockHeader *head, uint32_t smallSize, uint32_t limit) {
    uint32_t count = 0;
    BlockHeader *previous = 0;
    for (BlockHeader *block = head; block; block = BlockNextFree(block)) {
        if (++count > limit || block->flags != (BLOCK_FREE | (block->flags & BLOCK_LAST))) {
            return limit + 1;
        }
        if (smallSize ? block->payloadSize != smallSize
                      : block->payloadSize <= REGION_HEAP_SMALL_MAX || block->payloadSize % 16) {
            return limit + 1;
        }
        if (previous && (smallSize ? !BlockIsAbove(previous, block)
                                   : previous->payloadSize > block->payloadSize)) {
            return limit + 1;
        }
        previous = block;
    }
    return count;
}

// Returns the number of entries in all lists, or limit + 1 on a fault.
static uint32_t CheckFreeLists(uint32_t limit) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < REGION_HEAP_SMALL_LISTS; i++) {
        uint32_t marked = (heap.smallMap[i / 32] >> (i % 32)) & 1;
        if (marked != (heap.smallFree[i] != 0)) {
            return limit + 1;
        }
        total += CheckFreeList(heap.smallFree[i], (i + 1) * REGION_HEAP_GRANULE, limit - total);
        if (total > limit) {
            return limit + 1;
        }
    }
    return total + CheckFreeList(heap.largeFree, 0, limit - total);
}

static int FreeListContains(BlockHeader *block) {
    for (BlockHeader *cursor = *FreeListHead(block); cursor; cursor = BlockNextFree(cursor)) {
        if (cursor == block) {
            return 1;
        }
    }
    return 0;
}

// Checks that the blocks tile region with consistent tags and flags, that no
// two free blocks touch, that each free block is on its list and that some
// block is handed out. Adds the region's free blocks to freeCount.
static int CheckRegion(RegionHeader *region, uint32_t *freeCount) {
    if ((uintptr_t)region % heap.granularity != 0 || region->length % REGION_HEAP_GRANULE != 0 ||
        region->length < heap.standardRegionSize - HEADER_SIZE) {
        return 0;
    }
    uintptr_t end = (uintptr_t)(region + 1) + region->length;
    uint32_t previousSize = 0;
    int previousFree = 0;
    int anyUsed = 0;
    BlockHeader *block = RegionFirstBlock(region);
    for (;;) {
        uint32_t state = block->flags & ~BLOCK_LAST;
        uintptr_t payloadEnd = (uintptr_t)BlockPayload(block) + block->payloadSize;
        if (block->payloadSize == 0 || block->payloadSize % REGION_HEAP_GRANULE != 0 ||
            block->previousSize != previousSize || payloadEnd > end ||
            (state != BLOCK_FREE && state != BLOCK_USED)) {
            return 0;
        }
        int last = payloadEnd == end;
        if (last != ((block->flags & BLOCK_LAST) != 0)) {
            return 0;
        }
        if (state == BLOCK_FREE) {
            if (previousFree || !FreeListContains(block)) {
                return 0;
            }
            ++*freeCount;
        }
        anyUsed |= state == BLOCK_USED;
        if (last) {
            return anyUsed;
        }
        previousFree = state == BLOCK_FREE;
        previousSize = block->payloadSize;
        block = BlockNext(block);
    }
}

static int CheckHeap(void) {
    uint32_t limit = CheckBlockLimit();
    if (limit == 0) {
        return 0;
    }
    // The lists first: once they are known to end, membership can be walked.
    uint32_t listed = CheckFreeLists(limit);
    if (listed > limit) {
        return 0;
    }
    uint32_t freeCount = 0;
    for (RegionHeader *region = heap.regions; region; region = region->nextRegion) {
        if (!CheckRegion(region, &freeCount)) {
            return 0;
        }
    }
    // Every free block was found on its list; equal counts leave no room
    // for duplicates or strays.
    return listed == freeCount;
}

int RegionHeapCheck(void) {
    PlatformLockEnter(&heap.lock);
    int ok = CheckHeap();
    PlatformLockLeave(&heap.lock);
    return ok;
}

void RegionHeapReadStats(RegionHeapStats *stats) {
    RegionHeapStats tally = {};
    PlatformLockEnter(&heap.lock);
    tally.standardRegionSize = heap.standardRegionSize;
    for (RegionHeader *region = heap.regions; region; region = region->nextRegion) {
        tally.regionCount++;
        BlockHeader *block = RegionFirstBlock(region);
        for (;;) {
            if (BlockIsFree(block)) {
                tally.freeBlocks++;
                tally.freeBytes += block->payloadSize;
            } else {
                tally.usedBlocks++;
                tally.usedBytes += block->payloadSize;
            }
            if (block->flags & BLOCK_LAST) {
                break;
            }
            block = BlockNext(block);
        }
    }
    PlatformLockLeave(&heap.lock);
    *stats = tally;
}
