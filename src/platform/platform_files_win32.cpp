// Mapped files on Windows: CreateFile, GetFileSize, CreateFileMappingA and
// one read-only view of the whole file.
#include "platform/platform.h"

#include <windows.h>

// Maps the file already opened into mappedFile->file.
static int MapOpenFile(PlatformMappedFile *mappedFile) {
    HANDLE file = reinterpret_cast<HANDLE>(mappedFile->file);
    DWORD high = 0;
    SetLastError(NO_ERROR); // a file of 4 GiB - 1 bytes reads as INVALID_FILE_SIZE too
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return 0;
    }
    if (high != 0) {
        return 0; // 4 GiB or more: the format's lengths are 32-bit
    }
    if (low == 0) {
        return 1; // an empty file cannot be mapped; it has no view
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return 0;
    }
    mappedFile->mapping = reinterpret_cast<uintptr_t>(mapping);
    void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        return 0;
    }
    mappedFile->view = static_cast<const unsigned char *>(view);
    mappedFile->length = low;
    return 1;
}

int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return 0;
    }
    // The wide path keeps characters that the ANSI code page cannot hold. A
    // result of MAX_PATH means the path was cut: refuse rather than open
    // some other file.
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 0;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    mappedFile->file = reinterpret_cast<uintptr_t>(file);
    return MapOpenFile(mappedFile);
}

int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path) {
    if (mappedFile == nullptr || path == nullptr) {
        return 0;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    mappedFile->file = reinterpret_cast<uintptr_t>(file);
    return MapOpenFile(mappedFile);
}

void PlatformUnmapFile(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return;
    }
    if (mappedFile->view != nullptr) {
        UnmapViewOfFile(mappedFile->view);
    }
    if (mappedFile->mapping != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(mappedFile->mapping));
    }
    if (mappedFile->file != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(mappedFile->file));
    }
    mappedFile->file = 0;
    mappedFile->mapping = 0;
    mappedFile->view = nullptr;
    mappedFile->length = 0;
}
