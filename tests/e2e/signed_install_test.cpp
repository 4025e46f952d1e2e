// Signed installers with the real stub: made by qpack and signed with
// osslsigncode before this program runs (tests/e2e/sign_installers.sh), they
// install byte for byte, signed once or twice; a changed byte, bytes added
// behind the signature or a package added behind or inside the certificate
// table make the stub, and a signed uninstaller, refuse their package.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <stdlib.h>

#include "../unit/signed_attack.h"
#include "../win/version_resource.h"
#include "e2e_support.h"

static const char kSuccessText[] = "Signed Product has been successfully installed.";

// The folder the signing step filled; empty when the tests run without it.
static std::string SignedFolder(void) {
    const char *folder = getenv("QUNPACK_SIGNED_DIR");
    return folder != NULL ? folder : "";
}

static std::string InstallTarget(void) {
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, path, CSIDL_PROGRAM_FILES, FALSE);
    return std::string(path) + "\\E2E Signed";
}

static const char *const kPayload[] = {"readme.txt", "bin\\tool.dat"};

TEST(SignedInstallE2E, SignedOnceAndNestedInstallByteForByte) {
    std::string folder = SignedFolder();
    if (folder.empty())
        GTEST_SKIP() << "QUNPACK_SIGNED_DIR not set: no signed installers were made";
    for (const char *installer : {"signed.exe", "nested.exe"}) {
        RemoveTree(InstallTarget());
        std::string path = folder + "\\" + installer;
        ASSERT_TRUE(FileExists(path)) << path;
        SCOPED_TRACE(installer);
        InstallerRun run;
        RunInstaller(path, IDYES, &run);
        ExpectBox(run.outcome, kSuccessText, MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
        EXPECT_EQ(run.exitCode, 0u);
        for (const char *name : kPayload) {
            std::string expected = ReadFileBytes(folder + "\\payload\\" + name);
            ASSERT_FALSE(expected.empty()) << name;
            EXPECT_TRUE(ReadFileBytes(InstallTarget() + "\\" + name) == expected)
                << installer << ": " << name;
        }
    }
    RemoveTree(InstallTarget());
}

// qpack.exe branded them before they were signed (sign_installers.sh).
TEST(SignedInstallE2E, SignedInstallersKeepTheIconAndVersionTheyWereBuiltWith) {
    std::string folder = SignedFolder();
    if (folder.empty())
        GTEST_SKIP() << "QUNPACK_SIGNED_DIR not set: no signed installers were made";
    for (const char *installer : {"signed.exe", "nested.exe"}) {
        std::string path = folder + "\\" + installer;
        std::vector<char> info = VersionResourceRead(path);
        EXPECT_EQ(VersionResourceString(info, "CompanyName"), "Signed Vendor") << installer;
        EXPECT_EQ(VersionResourceString(info, "ProductName"), "Signed Product");
        EXPECT_EQ(VersionResourceString(info, "FileDescription"), "Signed Product Setup");
        EXPECT_EQ(VersionResourceString(info, "FileVersion"), "4.3.2.1");
        const VS_FIXEDFILEINFO *fixed = VersionResourceFixed(info);
        ASSERT_NE(fixed, nullptr) << installer;
        EXPECT_EQ(fixed->dwFileVersionMS, 0x00040003u);
        EXPECT_EQ(fixed->dwFileVersionLS, 0x00020001u);
        EXPECT_EQ(ExtractIconExA(path.c_str(), -1, NULL, NULL, 0), 1u) << installer;
    }
}

// Starts the installer and expects the package failure message.
static void ExpectRefused(const std::string &path, const std::string &what) {
    SCOPED_TRACE(what);
    ExpectPackageFailure(path);
}

TEST(SignedInstallE2E, ChangedOrExtendedSignedInstallersAreRefused) {
    std::string folder = SignedFolder();
    if (folder.empty())
        GTEST_SKIP() << "QUNPACK_SIGNED_DIR not set: no signed installers were made";
    std::string signedBytes = ReadFileBytes(folder + "\\signed.exe");
    std::string unsignedBytes = ReadFileBytes(folder + "\\unsigned.exe");
    ASSERT_GT(signedBytes.size(), unsignedBytes.size());
    size_t stub = StubImage().size();
    struct Damage {
        const char *what;
        size_t at; // the byte changed; npos: 16 bytes appended
    };
    const Damage damages[] = {{"image", 1100},
                              {"directory", stub + 4},
                              {"data", unsignedBytes.size() - 40},
                              {"appended", std::string::npos}};
    std::string work = MakeTestFolder("signed-damaged");
    for (const Damage &damage : damages) {
        std::string bytes = signedBytes;
        if (damage.at == std::string::npos)
            bytes.append(16, '\0');
        else
            bytes[damage.at] ^= 0x01;
        std::string path = work + "\\" + damage.what + ".exe";
        WriteFileBytes(path, bytes);
        ExpectRefused(path, damage.what);
    }
}

// A stranger's package added to the signed installer without changing a
// byte its signature covers: behind the certificate table, or inside it with
// the table enlarged (that signature still verifies: Authenticode does not
// hash the table). The stub refuses both and installs nothing; the signed
// uninstaller with its own package added again the same ways refuses too.
TEST(SignedInstallE2E, AStrangersPackageBehindOrInsideTheSignatureIsRefused) {
    std::string folder = SignedFolder();
    if (folder.empty())
        GTEST_SKIP() << "QUNPACK_SIGNED_DIR not set: no signed installers were made";
    std::string strangerTarget = SpecialFolder(CSIDL_PROGRAM_FILES) + "\\E2E Stranger";
    RemoveTree(strangerTarget);
    RemoveTree(InstallTarget());
    std::string stranger = MakeInstaller({{"\\evil.txt", "a stranger's file\r\n"},
                                          {"\\#Manifest", "productname = \"Stranger Product\"\r\n"
                                                          "directory = \"E2E Stranger\"\r\n"}});
    std::string uninstaller = ReadFileBytes(folder + "\\signed-uninstall.exe");
    ASSERT_FALSE(uninstaller.empty());
    struct Target {
        const char *name;
        std::string program, donor;
    };
    const Target targets[] = {{"installer", ReadFileBytes(folder + "\\signed.exe"), stranger},
                              {"uninstaller", uninstaller, uninstaller}};
    std::string work = MakeTestFolder("signed-stranger");
    for (const Target &target : targets) {
        for (bool insideTable : {false, true}) {
            std::vector<unsigned char> attack;
            ASSERT_TRUE(SignedAttackMake(
                std::vector<unsigned char>(target.program.begin(), target.program.end()),
                std::vector<unsigned char>(target.donor.begin(), target.donor.end()), insideTable,
                &attack))
                << target.name;
            std::string path =
                work + "\\" + target.name + (insideTable ? "-inside" : "-behind") + ".exe";
            WriteFileBytes(path, std::string(attack.begin(), attack.end()));
            ExpectRefused(path, path);
        }
    }
    EXPECT_FALSE(FileExists(strangerTarget));
    EXPECT_FALSE(FileExists(InstallTarget()));
    RemoveTree(work);
}
