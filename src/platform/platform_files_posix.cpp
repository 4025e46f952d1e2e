// Mapped files on POSIX: open, fstat and one read-only mmap of the whole
// file. The descriptor stays open as long as the view, as the file handle
// does on Windows.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path) {
    if (mappedFile == nullptr || path == nullptr) {
        return 0;
    }
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    mappedFile->file = static_cast<uintptr_t>(descriptor) + 1;

    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    // The length is 32-bit everywhere in the format: 4 GiB and more is refused.
    if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
        return 0;
    }
    mappedFile->length = static_cast<uint32_t>(status.st_size);
    if (mappedFile->length == 0) {
        return 1; // mmap refuses a length of 0; an empty file has no view
    }

    void *view = mmap(nullptr, mappedFile->length, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (view == MAP_FAILED) {
        mappedFile->length = 0;
        return 0;
    }
    mappedFile->view = static_cast<const unsigned char *>(view);
    return 1;
}

int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile) {
    return PlatformMapFile(mappedFile, "/proc/self/exe");
}

void PlatformUnmapFile(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return;
    }
    if (mappedFile->view != nullptr) {
        munmap(const_cast<unsigned char *>(mappedFile->view), mappedFile->length);
    }
    if (mappedFile->file != 0) {
        close(static_cast<int>(mappedFile->file - 1));
    }
    mappedFile->file = 0;
    mappedFile->mapping = 0;
    mappedFile->view = nullptr;
    mappedFile->length = 0;
}
