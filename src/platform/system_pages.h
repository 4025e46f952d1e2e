// What each backend gives the page and view functions of the seam: the
// system's own mapping, without the counting, fault injection and range
// checks, which platform_pages.cpp adds once for both systems.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// size (non-zero) bytes of zeroed, readable and writable memory starting on
// an allocation-granularity boundary, or null when the system refuses.
void *SystemPagesMap(uint32_t size);

// Returns a block of SystemPagesMap; size is the size that was asked for.
void SystemPagesUnmap(void *block, uint32_t size);

// A read-only view of span bytes from start (a granularity boundary inside
// the file, start + span within it) of the file mapped file opened. Returns
// its base, or null when the system refuses.
void *SystemViewMap(const PlatformMappedFile *mappedFile, uint32_t start, uint32_t span);

// Unmaps a view of SystemViewMap.
void SystemViewUnmap(void *base, uint32_t span);
