// The parts of the seam that are the same on both systems: the page and
// view functions over each backend's own mapping (with the counting, fault
// injection and checks), and a temporary file written in one call.
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

// ---- Views -------------------------------------------------------------------

const unsigned char *PlatformViewMap(const PlatformMappedFile *mappedFile, uint32_t offset,
                                     uint32_t length, PlatformView *view) {
    view->base = nullptr;
    view->length = 0;
    if (mappedFile == nullptr || mappedFile->file == 0 || length == 0 ||
        offset > mappedFile->length || length > mappedFile->length - offset) {
        return nullptr;
    }
    uint32_t start = offset & ~(PlatformAllocationGranularity() - 1);
    uint32_t span = offset - start + length; // at most the file's length
    void *base = SystemViewMap(mappedFile, start, span);
    if (base == nullptr) {
        return nullptr;
    }
    view->base = base;
    view->length = span;
    return static_cast<const unsigned char *>(base) + (offset - start);
}

void PlatformViewUnmap(PlatformView *view) {
    if (view->base != nullptr) {
        SystemViewUnmap(view->base, view->length);
    }
    view->base = nullptr;
    view->length = 0;
}

// ---- Temporary files ------------------------------------------------------------

int PlatformFileWriteTemporary(const char *folder, size_t folderLength, const void *data,
                               uint32_t size, char *temporaryPath) {
    temporaryPath[0] = 0;
    if (data == nullptr && size != 0) {
        return 0;
    }
    uintptr_t file = PlatformFileCreateTemporary(folder, folderLength, temporaryPath);
    if (file == 0) {
        return 0;
    }
    int written = PlatformFileWrite(file, data, size);
    // The close reports write errors that the file system deferred.
    if (!PlatformFileClose(file)) {
        written = 0;
    }
    if (!written) {
        PlatformFileDelete(temporaryPath);
        temporaryPath[0] = 0;
    }
    return written;
}

// ---- Paths ----------------------------------------------------------------------------

PlatformPathKind PlatformPathKindFromAttributes(uint32_t attributes, uint32_t reparseTag) {
    if ((attributes & PLATFORM_WIN32_ATTRIBUTE_REPARSE_POINT) &&
        (reparseTag & PLATFORM_WIN32_REPARSE_TAG_NAME_SURROGATE)) {
        return PLATFORM_PATH_LINK;
    }
    return (attributes & PLATFORM_WIN32_ATTRIBUTE_DIRECTORY) ? PLATFORM_PATH_FOLDER
                                                             : PLATFORM_PATH_FILE;
}
