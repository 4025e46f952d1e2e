// The real stub branded as qpack brands it, read back by Windows: the
// version strings and numbers through GetFileVersionInfoA and
// VerQueryValueA, the icon through ExtractIconExA, and the application
// manifest, which must be the stub's own, through FindResourceA.
#include "qpack/stub_branding.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "../unit/icon_bytes.h"
#include "version_resource.h"

namespace {

std::string BesideThisProgram(const char *name) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1) + name;
}

PackageBytes FileBytes(const std::string &path) {
    PackageBytes bytes;
    std::string error;
    EXPECT_TRUE(PackageReadFile(path, &bytes, &error)) << error;
    return bytes;
}

std::string ManifestOf(const std::string &path) {
    HMODULE module = LoadLibraryExA(path.c_str(), NULL,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == NULL)
        return "";
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : NULL;
    std::string text = bytes ? std::string(bytes, SizeofResource(module, found)) : "";
    FreeLibrary(module);
    return text;
}

TEST(BrandedStub, WindowsReadsItsVersionIconAndManifest) {
    const std::string stubPath = BesideThisProgram("qunpack.exe");
    PackageBytes image = FileBytes(stubPath);
    StubBranding branding;
    std::vector<unsigned char> icon = TestIconFile({{16, 32, TestIconBitmap(16, 32)},
                                                    {32, 32, TestIconBitmap(32, 32)},
                                                    {48, 8, TestIconBitmap(48, 8)},
                                                    {256, 32, TestIconPng(256)}});
    std::string problem;
    ASSERT_TRUE(IconFileParse(icon.data(), icon.size(), &branding.icon, &problem)) << problem;
    branding.version = {{"CompanyName", u"Vendor Ltd"},    {"FileDescription", u"Demo Setup"},
                        {"FileVersion", u"3.14"},          {"ProductName", u"Demo"},
                        {"ProductVersion", u"2.0.1 beta"}, {"LegalCopyright", u"(c) Vendor"}};
    ASSERT_TRUE(StubBrand(&image, branding, &problem)) << problem;
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string branded = std::string(folder) + "qunpack-branded-stub.exe";
    ASSERT_TRUE(PackageWriteFile(branded, image, &problem)) << problem;

    std::vector<char> info = VersionResourceRead(branded);
    ASSERT_FALSE(info.empty());
    for (const auto &string : branding.version) {
        std::string expected(string.second.begin(), string.second.end());
        EXPECT_EQ(VersionResourceString(info, string.first), expected) << string.first;
    }
    const VS_FIXEDFILEINFO *fixed = VersionResourceFixed(info);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x0003000Eu);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0u); // "2.0.1 beta" is no number
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    WORD *translation = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);

    EXPECT_EQ(ExtractIconExA(branded.c_str(), -1, NULL, NULL, 0), 1u);
    HICON large = NULL, small = NULL;
    ASSERT_EQ(ExtractIconExA(branded.c_str(), 0, &large, &small, 1), 2u);
    ICONINFO shape;
    ASSERT_TRUE(GetIconInfo(large, &shape));
    BITMAP bitmap;
    GetObjectA(shape.hbmColor ? shape.hbmColor : shape.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXICON));
    DeleteObject(shape.hbmColor);
    DeleteObject(shape.hbmMask);
    DestroyIcon(large);
    DestroyIcon(small);

    std::string manifest = ManifestOf(stubPath);
    EXPECT_FALSE(manifest.empty());
    EXPECT_EQ(ManifestOf(branded), manifest);
    DeleteFileA(branded.c_str());
}

} // namespace
