// Runs an installer as a person would for `make demo`: answers its
// confirmation with Yes, takes a picture of the screen while the install's
// closing message is up, answers that with OK, and reports what it saw.
//   demo_driver INSTALLER SCREENSHOT.bmp
// With --uninstall PATH it runs the uninstaller the same way. With
// --system PRODUCT it shows what the install left behind: the links
// below the product's Programs folder and the uninstall key's values.
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>

#include "../e2e_support.h"

// Saves the whole screen as a 24-bit BMP file.
static bool SaveScreen(const char *path) {
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP picture = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD stride = (width * 3 + 3) & ~3u;
    std::string pixels(stride * height, '\0');
    GetDIBits(memory, picture, 0, height, &pixels[0], reinterpret_cast<BITMAPINFO *>(&info),
              DIB_RGB_COLORS);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::string bytes(reinterpret_cast<const char *>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char *>(&info), sizeof info);
    bytes += pixels;
    WriteFileBytes(path, bytes);
    return FileExists(path);
}

// Every ".lnk" below folder (shown relative to root) with what it points at.
static void ShowLinks(const std::string &root, const std::string &folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName;
        std::string path = folder + "\\" + name;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ShowLinks(root, path);
            continue;
        }
        ShellLinkFields link;
        if (!ReadShellLink(path, &link)) {
            printf("  %s (unreadable)\n", path.substr(root.size() + 1).c_str());
            continue;
        }
        printf("  %s\n    -> %s\n    working directory %s, icon %s,%d\n",
               path.substr(root.size() + 1).c_str(), link.target.c_str(),
               link.workingDirectory.c_str(), link.iconPath.c_str(), link.iconIndex);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

static void ShowUninstallKey(const char *keyPath) {
    HKEY key;
    printf("HKEY_LOCAL_MACHINE\\%s\n", keyPath);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        printf("  (no such key)\n");
        return;
    }
    for (DWORD index = 0;; index++) {
        char name[256], data[1024];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, NULL, &type, reinterpret_cast<BYTE *>(data),
                          &dataSize) != ERROR_SUCCESS)
            break;
        if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
            printf("  %-16s = %lu (REG_DWORD)\n", name,
                   static_cast<unsigned long>(*reinterpret_cast<DWORD *>(data)));
            continue;
        }
        data[type == REG_SZ ? dataSize : 0] = '\0';
        printf("  %-16s = %s\n", nameSize ? name : "(default)",
               type == REG_SZ ? data : "(not a string)");
    }
    RegCloseKey(key);
}

static int ShowSystem(const char *product) {
    char programs[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, programs, CSIDL_PROGRAMS, FALSE);
    std::string folder = std::string(programs) + "\\" + product;
    printf("shortcuts below %s\n", folder.c_str());
    ShowLinks(folder, folder);
    ShowUninstallKey("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane");
    return 0;
}

// Starts the program at path (the installer or the uninstaller, named by
// role in what is printed), answers its question with Yes, prints what it
// says and, when screenshot is not null, takes one while it says it.
static int RunAnsweringYes(const char *path, const char *role, const char *screenshot) {
    Program program;
    if (!StartProgram(path, "", &program)) {
        fprintf(stderr, "demo: cannot start %s\n", path);
        return 1;
    }
    SeenBox question;
    if (!WaitForBox(&program, E2E_TIMEOUT_MS, &question)) {
        fprintf(stderr, "demo: the %s asked nothing (windows: %s)\n", role,
                DescribeWindows(&program).c_str());
        CloseProgram(&program);
        return 1;
    }
    printf("%s asks: %s\n-> Yes\n", role, question.text.c_str());
    AnswerBox(question, IDYES);

    SeenBox outcome;
    if (!WaitForBox(&program, E2E_TIMEOUT_MS, &outcome)) {
        fprintf(stderr, "demo: no message from the %s after the question\n", role);
        CloseProgram(&program);
        return 1;
    }
    // The box is on screen (its icon was read from there); the progress
    // window behind it may repaint a moment later. Only the picture waits.
    Sleep(500);
    printf("%s says: %s\n", role, outcome.text.c_str());
    if (screenshot != NULL && SaveScreen(screenshot))
        printf("screenshot taken\n");
    AnswerBox(outcome, IDOK);
    DWORD code = WaitProgram(&program, E2E_TIMEOUT_MS);
    CloseProgram(&program);
    printf("%s exit code: %ld\n", role, static_cast<long>(code));
    return code == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--system") == 0)
        return ShowSystem(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--uninstall") == 0)
        return RunAnsweringYes(argv[2], "uninstaller", NULL);
    if (argc != 3) {
        fprintf(stderr, "usage: demo_driver INSTALLER SCREENSHOT.bmp\n"
                        "       demo_driver --uninstall UNINSTALLER\n"
                        "       demo_driver --system PRODUCT\n");
        return 2;
    }
    return RunAnsweringYes(argv[1], "installer", argv[2]);
}
