// The stub's extraction against a floor program, under Wine, in one process
// and one run, so that their ratio is taken under the same load.
//
//   extract_wine_bench.exe CORPUS_FOLDER OUTPUT_FOLDER [ROUNDS]
//
// For each package of the corpus (make_corpus: 1,000 files of 1 KiB; 10 of
// 16 MiB; about 2,000 of mixed sizes in 40 folders), each round extracts it
// twice into fresh folders, in alternating order:
//   floor  every entry inflated with plain zlib into one buffer and written
//          with CreateFileA and one WriteFile; a folder is made only when a
//          file cannot be created without it. Nothing else.
//   stub   InstallExtractFiles, the stub's extraction with its status
//          shown in a real progress window made from the package's
//          manifest and bitmaps.
// Only the extraction is timed; the folders are removed after each run.
// Calls to the system are counted by patching this program's import table,
// so the counts are the stub's own calls, not an estimate.
#include <windows.h>
#include <zlib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "driver/install_sequence.h"
#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/extract.h"
#include "package/package.h"
#include "ui/progress_window.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// ---- Counting system calls ----------------------------------------------------

enum Counter {
    FILES_OPENED,   // CreateFileA that gave a handle
    OPENS_FAILED,   // CreateFileA that did not
    FILES_MOVED,    // MoveFileExA
    FILES_DELETED,  // DeleteFileA
    FOLDERS_MADE,   // CreateDirectoryA, made or not
    ATTRIBUTES,     // GetFileAttributesA
    PAGES_MAPPED,   // VirtualAlloc
    PAGES_RELEASED, // VirtualFree
    PAINTS,         // GetDC: SetStatus paints through the window's DC
    PEEKS,          // PeekMessageA
    COUNTERS
};
const char *const kCounterNames[COUNTERS] = {"open",   "open-failed", "move",   "delete",
                                             "mkdir",  "attributes",  "valloc", "vfree",
                                             "paints", "peeks"};
long counts[COUNTERS];

decltype(&CreateFileA) realCreateFileA;
decltype(&MoveFileExA) realMoveFileExA;
decltype(&DeleteFileA) realDeleteFileA;
decltype(&CreateDirectoryA) realCreateDirectoryA;
decltype(&GetFileAttributesA) realGetFileAttributesA;
decltype(&VirtualAlloc) realVirtualAlloc;
decltype(&VirtualFree) realVirtualFree;
decltype(&GetDC) realGetDC;
decltype(&PeekMessageA) realPeekMessageA;

HANDLE WINAPI CountCreateFileA(LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                               DWORD f, HANDLE g) {
    HANDLE file = realCreateFileA(a, b, c, d, e, f, g);
    counts[file == INVALID_HANDLE_VALUE ? OPENS_FAILED : FILES_OPENED]++;
    return file;
}
BOOL WINAPI CountMoveFileExA(LPCSTR a, LPCSTR b, DWORD c) {
    counts[FILES_MOVED]++;
    return realMoveFileExA(a, b, c);
}
BOOL WINAPI CountDeleteFileA(LPCSTR a) {
    counts[FILES_DELETED]++;
    return realDeleteFileA(a);
}
BOOL WINAPI CountCreateDirectoryA(LPCSTR a, LPSECURITY_ATTRIBUTES b) {
    counts[FOLDERS_MADE]++;
    return realCreateDirectoryA(a, b);
}
DWORD WINAPI CountGetFileAttributesA(LPCSTR a) {
    counts[ATTRIBUTES]++;
    return realGetFileAttributesA(a);
}
LPVOID WINAPI CountVirtualAlloc(LPVOID a, SIZE_T b, DWORD c, DWORD d) {
    counts[PAGES_MAPPED]++;
    return realVirtualAlloc(a, b, c, d);
}
BOOL WINAPI CountVirtualFree(LPVOID a, SIZE_T b, DWORD c) {
    counts[PAGES_RELEASED]++;
    return realVirtualFree(a, b, c);
}
HDC WINAPI CountGetDC(HWND a) {
    counts[PAINTS]++;
    return realGetDC(a);
}
BOOL WINAPI CountPeekMessageA(LPMSG a, HWND b, UINT c, UINT d, UINT e) {
    counts[PEEKS]++;
    return realPeekMessageA(a, b, c, d, e);
}

// Points every import-table slot of this program that holds dll!name at
// replacement; returns the original.
template <typename Function>
void Hook(const char *dll, const char *name, Function replacement, Function *original) {
    FARPROC target = GetProcAddress(GetModuleHandleA(dll), name);
    *original = reinterpret_cast<Function>(reinterpret_cast<void *>(target));
    unsigned char *base = reinterpret_cast<unsigned char *>(GetModuleHandleA(NULL));
    IMAGE_NT_HEADERS *headers = reinterpret_cast<IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *d =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         d->Name != 0; d++) {
        for (IMAGE_THUNK_DATA *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
             slot->u1.Function != 0; slot++) {
            if (slot->u1.Function != reinterpret_cast<uintptr_t>(target))
                continue;
            DWORD protection;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<uintptr_t>(replacement);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
        }
    }
}

void HookAll() {
    Hook("kernel32.dll", "CreateFileA", CountCreateFileA, &realCreateFileA);
    Hook("kernel32.dll", "MoveFileExA", CountMoveFileExA, &realMoveFileExA);
    Hook("kernel32.dll", "DeleteFileA", CountDeleteFileA, &realDeleteFileA);
    Hook("kernel32.dll", "CreateDirectoryA", CountCreateDirectoryA, &realCreateDirectoryA);
    Hook("kernel32.dll", "GetFileAttributesA", CountGetFileAttributesA, &realGetFileAttributesA);
    Hook("kernel32.dll", "VirtualAlloc", CountVirtualAlloc, &realVirtualAlloc);
    Hook("kernel32.dll", "VirtualFree", CountVirtualFree, &realVirtualFree);
    Hook("user32.dll", "GetDC", CountGetDC, &realGetDC);
    Hook("user32.dll", "PeekMessageA", CountPeekMessageA, &realPeekMessageA);
}

// ---- The two extractions ----------------------------------------------------------

double Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Makes the folders along path below root (its length), the file name not.
void FloorMakeFolders(char *path, size_t rootLength) {
    for (char *c = path + rootLength + 1; *c != 0; c++) {
        if (*c == '\\') {
            *c = 0;
            CreateDirectoryA(path, NULL);
            *c = '\\';
        }
    }
}

uint32_t FloorLargestEntry() {
    uint32_t largest = 0;
    for (const DirectoryRecord *r = PackageFirstRecord(); r != nullptr; r = PackageNextRecord(r))
        if (!DirectoryRecordIsInternal(r))
            largest = std::max(largest, DirectoryRecordSize(r));
    return largest;
}

void Floor(const char *folder) {
    CreateDirectoryA(folder, NULL);
    size_t rootLength = strlen(folder);
    uint32_t largest = FloorLargestEntry();
    unsigned char *buffer = static_cast<unsigned char *>(
        VirtualAlloc(NULL, largest + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (const DirectoryRecord *r = PackageFirstRecord(); r != nullptr; r = PackageNextRecord(r)) {
        if (DirectoryRecordIsInternal(r))
            continue;
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s%s", folder, DirectoryRecordName(r));
        uLongf size = DirectoryRecordSize(r);
        uncompress(buffer, &size, PackageEntryStream(r), DirectoryRecordCompressedSize(r));
        HANDLE file =
            CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
            FloorMakeFolders(path, rootLength);
            file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               NULL);
        }
        DWORD written = 0;
        if (size > 0)
            WriteFile(file, buffer, static_cast<DWORD>(size), &written, NULL);
        CloseHandle(file);
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
}

uint32_t stubFailures;

void Stub(const char *folder) {
    ExtractionReport report = {};
    InstallExtractFiles(folder, &report);
    stubFailures += report.failed;
}

void RemoveTree(const std::string &folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// ---- Rounds and the table ------------------------------------------------------

struct Shape {
    const char *name;
    uint32_t files;
    std::vector<double> floorMs, stubMs;
    long floorCounts[COUNTERS], stubCounts[COUNTERS]; // of the last round
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

uint32_t CountFiles() {
    uint32_t files = 0;
    for (const DirectoryRecord *r = PackageFirstRecord(); r != nullptr; r = PackageNextRecord(r))
        files += !DirectoryRecordIsInternal(r);
    return files;
}

// Runs one extraction into a fresh folder; returns its milliseconds and
// its call counts in callCounts.
double Run(void (*extract)(const char *), const std::string &folder, long *callCounts) {
    RemoveTree(folder);
    memset(counts, 0, sizeof counts);
    double started = Now();
    extract(folder.c_str());
    double spent = Now() - started;
    memcpy(callCounts, counts, sizeof counts);
    RemoveTree(folder);
    return spent;
}

int Bench(Shape *shape, const std::string &corpus, const std::string &output, int round) {
    std::string package = corpus + "\\" + shape->name + "-v1.pkg";
    if (!PackageOpenFile(package.c_str())) {
        fprintf(stderr, "cannot open %s\n", package.c_str());
        return 0;
    }
    shape->files = CountFiles();
    InstallDescription description = {};
    ManifestLoad(&description);
    ProgressWindowCreate(&description);
    UpdateWindow(progressWindow.window);
    SetStatus("Installing", 0.0f);
    ProgressWindowPaint(progressWindow.window);
    std::string folder = output + "\\" + shape->name;
    for (int twice = 0; twice < 2; twice++) {
        if ((round + twice) % 2 == 0) {
            shape->floorMs.push_back(Run(Floor, folder + "-floor", shape->floorCounts));
        } else {
            shape->stubMs.push_back(Run(Stub, folder + "-stub", shape->stubCounts));
        }
    }
    ProgressWindowRelease();
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
    }
    ManifestFree(&description);
    PackageClose();
    return 1;
}

void Report(const Shape *shapes, size_t n, int rounds) {
    printf("\nmedians of %d rounds, floor and stub interleaved\n", rounds);
    printf("%-6s %6s %10s %10s %7s %12s\n", "shape", "files", "floor ms", "stub ms", "ratio",
           "ratio range");
    for (size_t i = 0; i < n; i++) {
        const Shape &s = shapes[i];
        std::vector<double> ratios;
        for (size_t r = 0; r < s.floorMs.size() && r < s.stubMs.size(); r++)
            ratios.push_back(s.stubMs[r] / s.floorMs[r]);
        std::sort(ratios.begin(), ratios.end());
        printf("%-6s %6u %10.1f %10.1f %7.2f %5.2f-%5.2f\n", s.name, s.files, Median(s.floorMs),
               Median(s.stubMs), Median(s.stubMs) / Median(s.floorMs), ratios.front(),
               ratios.back());
    }
    printf("\ncalls per 1,000 files (last round)\n%-12s", "call");
    for (size_t i = 0; i < n; i++)
        printf(" %9s-fl %9s-st", shapes[i].name, shapes[i].name);
    printf("\n");
    for (int c = 0; c < COUNTERS; c++) {
        printf("%-12s", kCounterNames[c]);
        for (size_t i = 0; i < n; i++)
            printf(" %12.0f %12.0f", 1000.0 * shapes[i].floorCounts[c] / shapes[i].files,
                   1000.0 * shapes[i].stubCounts[c] / shapes[i].files);
        printf("\n");
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: extract_wine_bench CORPUS_FOLDER OUTPUT_FOLDER [ROUNDS]\n");
        return 2;
    }
    std::string corpus = argv[1], output = argv[2];
    int rounds = argc > 3 ? atoi(argv[3]) : 5;
    RegionHeapInit();
    HookAll();
    CreateDirectoryA(output.c_str(), NULL);
    Shape shapes[] = {
        {"tiny", 0, {}, {}, {}, {}}, {"large", 0, {}, {}, {}, {}}, {"mixed", 0, {}, {}, {}, {}}};
    for (int round = 0; round < rounds; round++) {
        for (Shape &shape : shapes) {
            if (!Bench(&shape, corpus, output, round))
                return 1;
            printf("round %d %-6s floor %8.1f ms  stub %8.1f ms\n", round, shape.name,
                   shape.floorMs.back(), shape.stubMs.back());
            fflush(stdout);
        }
    }
    Report(shapes, sizeof shapes / sizeof shapes[0], rounds);
    if (stubFailures != 0)
        printf("\nthe stub failed %u files\n", stubFailures);
    RemoveDirectoryA(output.c_str());
    return stubFailures != 0;
}
