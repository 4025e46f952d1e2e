// What each backend gives the page functions of the seam: the system's own
// mapping, without counting or fault injection, which platform_pages.cpp
// adds once for both systems.
#pragma once

#include <stdint.h>

// size (non-zero) bytes of zeroed, readable and writable memory starting on
// an allocation-granularity boundary, or null when the system refuses.
void *SystemPagesMap(uint32_t size);

// Returns a block of SystemPagesMap; size is the size that was asked for.
void SystemPagesUnmap(void *block, uint32_t size);
