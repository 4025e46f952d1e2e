// The page functions of the seam: the system's mapping (one per backend)
// with the counting and the fault injection that tests rely on.
#include "platform/platform.h"
#include "platform/system_pages.h"

// Pages are allocated by the heap under its lock, so these counters need no
// lock of their own.
struct PagesState {
    uint32_t failCountdown; // the call that brings it to 0 fails; 0 = off
    uint32_t allocCount;
    uint32_t liveCount;
};

static PagesState pages;

static int PagesFaultDue(void) {
    if (pages.failCountdown == 0) {
        return 0;
    }
    return --pages.failCountdown == 0;
}

void *PlatformPagesAlloc(uint32_t size) {
    if (PagesFaultDue() || size == 0) {
        return 0;
    }
    pages.allocCount++;
    void *block = SystemPagesMap(size);
    if (block) {
        pages.liveCount++;
    }
    return block;
}

void PlatformPagesFree(void *block, uint32_t size) {
    if (!block) {
        return;
    }
    SystemPagesUnmap(block, size);
    pages.liveCount--;
}

void PlatformPagesFailAt(uint32_t n) {
    pages.failCountdown = n;
}

uint32_t PlatformPagesAllocCount(void) {
    return pages.allocCount;
}

uint32_t PlatformPagesLiveCount(void) {
    return pages.liveCount;
}
