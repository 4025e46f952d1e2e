// The built stub and uninstaller as Windows sees them before running them:
// 32-bit GUI images that carry the same application manifest. Wine has no UAC, so the
// requested execution level can only be checked by reading it back.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

static const char *const kPrograms[] = {"qunpack.exe", "qunpack-uninstall.exe"};

static std::string StubPath(const char *program) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    folder.resize(folder.find_last_of('\\') + 1);
    return folder + program;
}

static std::string StubManifest(const char *program) {
    HMODULE stub = LoadLibraryExA(StubPath(program).c_str(), NULL,
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

TEST(StubImage, IsA32BitGuiProgram) {
    for (const char *program : kPrograms) {
        SCOPED_TRACE(program);
        HANDLE file = CreateFileA(StubPath(program).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                  OPEN_EXISTING, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        unsigned char head[4096];
        DWORD got = 0;
        ReadFile(file, head, sizeof head, &got, NULL);
        CloseHandle(file);
        ASSERT_GE(got, sizeof(IMAGE_DOS_HEADER));
        const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(head);
        ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
        ASSERT_LT(static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32), got);
        const IMAGE_NT_HEADERS32 *nt =
            reinterpret_cast<const IMAGE_NT_HEADERS32 *>(head + dos->e_lfanew);
        EXPECT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
        EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
        EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
        EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    }
}

TEST(StubImage, ManifestAsksForAdministratorAndNamesSupportedSystems) {
    for (const char *program : kPrograms) {
        SCOPED_TRACE(program);
        std::string manifest = StubManifest(program);
        ASSERT_FALSE(manifest.empty()) << "no manifest resource in " << StubPath(program);
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
