// The built stub and uninstaller as Windows sees them before running them:
// 32-bit GUI images that carry the same application manifest, may be
// loaded anywhere, keep their data out of execution, and are small. Wine
// has no UAC and no Remote Desktop, so the manifest and the header flags
// can only be checked by reading them back.
#include <gtest/gtest.h>
#include <windows.h>

#include <stddef.h>
#include <string.h>

#include <string>

// Every installer carries the stub in front of its package, and every
// generated uninstaller its own copy. Each program has a budget of 32 KiB;
// within it, clear code wins over a few saved bytes.
struct BuiltProgram {
    const char *name;
    DWORD sizeLimit;
};
static const BuiltProgram kPrograms[] = {{"qunpack.exe", 32768}, {"qunpack-uninstall.exe", 32768}};

static std::string ProgramPath(const char *program) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    folder.resize(folder.find_last_of('\\') + 1);
    return folder + program;
}

static std::string ProgramManifest(const char *program) {
    HMODULE stub = LoadLibraryExA(ProgramPath(program).c_str(), NULL,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!stub)
        return "";
    std::string text;
    HRSRC found = FindResourceA(stub, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(stub, found) : NULL;
    const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : NULL;
    if (bytes)
        text.assign(bytes, SizeofResource(stub, found));
    FreeLibrary(stub);
    return text;
}

// The program's NT headers and its file size; false when they cannot be read.
static bool ProgramHeaders(const char *program, IMAGE_NT_HEADERS32 *headers, DWORD *fileSize,
                           DWORD *headersEnd) {
    HANDLE file = CreateFileA(ProgramPath(program).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    unsigned char head[4096];
    DWORD got = 0;
    ReadFile(file, head, sizeof head, &got, NULL);
    *fileSize = GetFileSize(file, NULL);
    CloseHandle(file);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(head);
    if (got < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        static_cast<DWORD>(dos->e_lfanew) + sizeof *headers > got)
        return false;
    memcpy(headers, head + dos->e_lfanew, sizeof *headers);
    *headersEnd = dos->e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                  headers->FileHeader.SizeOfOptionalHeader +
                  headers->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    return true;
}

TEST(StubImage, IsASmallRelocatableTerminalServerAware32BitGuiProgram) {
    for (const BuiltProgram &program : kPrograms) {
        SCOPED_TRACE(program.name);
        IMAGE_NT_HEADERS32 nt;
        DWORD size = 0, headersEnd = 0;
        ASSERT_TRUE(ProgramHeaders(program.name, &nt, &size, &headersEnd))
            << ProgramPath(program.name);
        EXPECT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
        EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
        EXPECT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
        EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
        WORD flags = nt.OptionalHeader.DllCharacteristics;
        EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
        EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
        EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
        // Relocatable means it carries its relocations.
        EXPECT_EQ(nt.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
        EXPECT_GT(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
        EXPECT_LE(size, program.sizeLimit) << "every installer carries these bytes";
        // The headers take one file block and leave room for the section
        // qpack adds when it brands an installer.
        EXPECT_EQ(nt.OptionalHeader.SizeOfHeaders, 512u);
        EXPECT_LE(headersEnd + sizeof(IMAGE_SECTION_HEADER), nt.OptionalHeader.SizeOfHeaders);
    }
}

TEST(StubImage, ManifestAsksForAdministratorAndNamesSupportedSystems) {
    for (const BuiltProgram &program : kPrograms) {
        SCOPED_TRACE(program.name);
        std::string manifest = ProgramManifest(program.name);
        ASSERT_FALSE(manifest.empty()) << "no manifest resource in " << ProgramPath(program.name);
        EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
        EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
        const char *systems[] = {
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // Windows 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // Windows 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // Windows 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // Windows 10 and 11
        };
        for (const char *id : systems)
            EXPECT_NE(manifest.find(id), std::string::npos) << id;
        EXPECT_NE(manifest.find("<dpiAware"), std::string::npos);
        EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
    }
}
