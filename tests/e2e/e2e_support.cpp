#include "e2e_support.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "qpack/package_writer.h"

std::string BesideTests(const char *name) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\') + 1) + name;
}

const std::string &StubImage(void) {
    static std::string image;
    if (image.empty())
        image = ReadFileBytes(BesideTests("qunpack.exe"));
    return image;
}

void RemoveTree(const std::string &folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string MakeInstaller(const std::vector<TestEntry> &entries) {
    std::vector<PackageWriterEntry> packed(entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        packed[i].name = entries[i].name;
        packed[i].data.assign(entries[i].data.begin(), entries[i].data.end());
    }
    const std::string &stub = StubImage();
    PackageBytes installer, stubBytes(stub.begin(), stub.end());
    std::string error;
    if (!PackageWrite(stubBytes, packed, PackageWriterOptions(), &installer, &error)) {
        ADD_FAILURE() << error;
        return std::string();
    }
    return std::string(installer.begin(), installer.end());
}

std::string MakeTestFolder(const std::string &name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "qunpack-e2e-" + name;
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), NULL);
    return folder;
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::string ReadFileBytes(const std::string &path) {
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

std::string SpecialFolder(int csidl) {
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, path, csidl, FALSE);
    return path;
}

bool UninstallKeyExists(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool StartProgram(const std::string &path, const std::string &arguments, Program *program) {
    std::string commandLine = "\"" + path + "\"";
    if (!arguments.empty())
        commandLine += " " + arguments;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&program->info, sizeof program->info);
    return CreateProcessA(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                          &program->info) != 0;
}

DWORD WaitProgram(Program *program, DWORD timeoutMs) {
    if (WaitForSingleObject(program->info.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(program->info.hProcess, &code);
    return code;
}

void CloseProgram(Program *program) {
    if (!program->info.hProcess)
        return;
    if (WaitForSingleObject(program->info.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program->info.hProcess, 99);
        WaitForSingleObject(program->info.hProcess, E2E_TIMEOUT_MS);
    }
    CloseHandle(program->info.hThread);
    CloseHandle(program->info.hProcess);
    ZeroMemory(&program->info, sizeof program->info);
}

DWORD WaitProgramWithoutWindows(Program *program, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (WaitForSingleObject(program->info.hProcess, 10) == WAIT_TIMEOUT) {
        if (!ProgramWindows(program).empty()) {
            ADD_FAILURE() << "unexpected window: " << DescribeWindows(program);
            return STILL_ACTIVE;
        }
        if (GetTickCount() - start > timeoutMs)
            return STILL_ACTIVE;
    }
    return WaitProgram(program, 0);
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectProgramWindow(HWND window, LPARAM context) {
    WindowSearch *search = reinterpret_cast<WindowSearch *>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> ProgramWindows(const Program *program) {
    WindowSearch search;
    search.processId = program->info.dwProcessId;
    EnumWindows(CollectProgramWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string WindowClass(HWND window) {
    char name[256];
    int length = window ? GetClassNameA(window, name, sizeof name) : 0;
    return std::string(name, length > 0 ? length : 0);
}

std::string WindowText(HWND window) {
    char text[4096];
    int length = GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? length : 0);
}

std::string MessageBoxText(HWND box) {
    // The message of a message box is its static control 0xFFFF.
    char text[4096];
    UINT length = GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return std::string(text, length);
}

std::string DescribeWindows(const Program *program) {
    std::string description;
    for (HWND window : ProgramWindows(program)) {
        description += "[" + WindowClass(window) + " \"" + WindowText(window) + "\" \"" +
                       MessageBoxText(window) + "\"] ";
    }
    return description.empty() ? "none" : description;
}

// The MB_ button flags whose buttons, exactly, the box has: each is a
// control whose id is the answer it gives. MB_TYPEMASK for any other set.
static UINT MessageBoxButtons(HWND box) {
    static const struct {
        UINT flag;
        unsigned buttons; // bit n: a button with id n
    } kButtonSets[] = {
        {MB_OK, 1u << IDOK},
        {MB_OKCANCEL, 1u << IDOK | 1u << IDCANCEL},
        {MB_ABORTRETRYIGNORE, 1u << IDABORT | 1u << IDRETRY | 1u << IDIGNORE},
        {MB_YESNOCANCEL, 1u << IDYES | 1u << IDNO | 1u << IDCANCEL},
        {MB_YESNO, 1u << IDYES | 1u << IDNO},
        {MB_RETRYCANCEL, 1u << IDRETRY | 1u << IDCANCEL},
        {MB_CANCELTRYCONTINUE, 1u << IDCANCEL | 1u << IDTRYAGAIN | 1u << IDCONTINUE},
    };
    unsigned buttons = 0;
    for (int id = IDOK; id <= IDCONTINUE; id++) {
        HWND button = GetDlgItem(box, id);
        if (button && IsWindowVisible(button))
            buttons |= 1u << id;
    }
    for (const auto &set : kButtonSets) {
        if (set.buttons == buttons)
            return set.flag;
    }
    return MB_TYPEMASK;
}

// The visible icon control (a static of style SS_ICON) among the box's
// children; its id differs between Windows and Wine.
static BOOL CALLBACK FindIconControl(HWND child, LPARAM context) {
    if (WindowClass(child) != "Static" || !IsWindowVisible(child) ||
        (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
        return TRUE;
    *reinterpret_cast<HWND *>(context) = child;
    return FALSE;
}

// A width x height picture that draw makes on a memory device context, as
// 0xRRGGBB pixels from the top row down.
template <typename Draw>
static std::vector<DWORD> Picture(int width, int height, const Draw &draw) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    std::vector<DWORD> pixels;
    if (!bitmap)
        return pixels;
    HDC dc = CreateCompatibleDC(NULL);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    draw(dc);
    GdiFlush();
    const DWORD *from = static_cast<const DWORD *>(bits);
    for (int i = 0; i < width * height; i++)
        pixels.push_back(from[i] & 0xFFFFFF);
    SelectObject(dc, previous);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return pixels;
}

static std::vector<DWORD> IconOn(HICON icon, int width, int height, int stockBrush) {
    return Picture(width, height, [&](HDC dc) {
        RECT all = {0, 0, width, height};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(stockBrush)));
        DrawIconEx(dc, 0, 0, icon, width, height, 0, NULL, DI_NORMAL);
    });
}

static bool AlmostEqual(DWORD a, DWORD b) {
    for (int shift = 0; shift < 24; shift += 8) {
        int difference =
            static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (difference > 8 || difference < -8)
            return false;
    }
    return true;
}

// The share of the icon's opaque pixels (the same on black and on white)
// that the screen shows alike.
static double IconLikeness(const std::vector<DWORD> &shown, HICON icon, int width, int height) {
    std::vector<DWORD> onBlack = IconOn(icon, width, height, BLACK_BRUSH);
    std::vector<DWORD> onWhite = IconOn(icon, width, height, WHITE_BRUSH);
    size_t opaque = 0, alike = 0;
    for (size_t i = 0; i < shown.size() && i < onBlack.size() && i < onWhite.size(); i++) {
        if (onBlack[i] != onWhite[i])
            continue;
        opaque++;
        alike += AlmostEqual(shown[i], onBlack[i]);
    }
    return opaque ? static_cast<double>(alike) / opaque : 0.0;
}

// The MB_ICON flag of the standard icon the box shows on screen, or 0.
// Another process's icon handle cannot be read under Wine, so its picture
// is compared with each standard icon drawn here; the box may not be
// painted yet, so this waits until one of them matches.
static UINT MessageBoxIcon(HWND box, DWORD timeoutMs) {
    static const struct {
        UINT flag;
        LPCTSTR icon;
    } kIcons[] = {
        {MB_ICONERROR, IDI_ERROR},
        {MB_ICONQUESTION, IDI_QUESTION},
        {MB_ICONWARNING, IDI_WARNING},
        {MB_ICONINFORMATION, IDI_INFORMATION},
    };
    HWND control = NULL;
    EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
    RECT client;
    if (!control || !GetClientRect(control, &client) || client.right <= 0 || client.bottom <= 0)
        return 0;
    DWORD start = GetTickCount();
    do {
        POINT corner = {0, 0};
        ClientToScreen(control, &corner);
        std::vector<DWORD> shown = Picture(client.right, client.bottom, [&](HDC dc) {
            HDC screen = GetDC(NULL);
            BitBlt(dc, 0, 0, client.right, client.bottom, screen, corner.x, corner.y, SRCCOPY);
            ReleaseDC(NULL, screen);
        });
        // The icon drawn here and there is the same to the pixel; different
        // ones share at most part of it (question and information, drawn
        // alike but for the sign, some 85%).
        for (const auto &candidate : kIcons) {
            HICON icon = LoadIcon(NULL, candidate.icon);
            if (IconLikeness(shown, icon, client.right, client.bottom) > 0.98)
                return candidate.flag;
        }
        Sleep(20);
    } while (IsWindow(box) && GetTickCount() - start < timeoutMs);
    return 0;
}

static void ReadBox(HWND box, DWORD timeoutMs, SeenBox *seen) {
    seen->box = box;
    seen->caption = WindowText(box);
    seen->text = MessageBoxText(box);
    seen->owner = GetWindow(box, GW_OWNER);
    seen->ownerClass = WindowClass(seen->owner);
    seen->ownerTitle = seen->owner ? WindowText(seen->owner) : "";
    if (seen->owner)
        GetWindowRect(seen->owner, &seen->ownerRectangle);
    seen->type = MessageBoxButtons(box) | MessageBoxIcon(box, timeoutMs);
}

bool WaitForBox(const Program *program, DWORD timeoutMs, SeenBox *seen) {
    // A box is visible a moment before its text is set: wait for the text.
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : ProgramWindows(program)) {
            if (WindowClass(window) == kMessageBoxClass && !MessageBoxText(window).empty()) {
                ReadBox(window, timeoutMs, seen);
                return true;
            }
        }
        if (WaitForSingleObject(program->info.hProcess, 0) == WAIT_OBJECT_0)
            return false;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
}

void ExpectBox(const SeenBox &seen, const std::string &text, UINT type, const char *ownerClass) {
    EXPECT_EQ(seen.caption, "Unpack");
    EXPECT_EQ(seen.text, text);
    EXPECT_EQ(seen.type, type) << "0x" << std::hex << seen.type << " instead of 0x" << type
                               << " for \"" << seen.text << "\"";
    EXPECT_EQ(seen.ownerClass, ownerClass) << seen.text;
}

void AnswerBox(const SeenBox &seen, int button) {
    PostMessageA(seen.box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(seen.box, button)));
    DWORD start = GetTickCount();
    while (IsWindow(seen.box) && GetTickCount() - start < E2E_TIMEOUT_MS)
        Sleep(20);
    EXPECT_FALSE(IsWindow(seen.box)) << "the box stays: " << seen.text;
}

void AnswerConfirmation(Program *installer, int answer, InstallerRun *run) {
    static const char kQuestionStart[] = "This program will install ";
    if (!WaitForBox(installer, E2E_TIMEOUT_MS, &run->question)) {
        ADD_FAILURE() << "no confirmation; windows: " << DescribeWindows(installer);
    } else {
        const SeenBox &question = run->question;
        bool isQuestion = question.text.compare(0, strlen(kQuestionStart), kQuestionStart) == 0 &&
                          question.ownerClass == kProgressWindowClass;
        EXPECT_TRUE(isQuestion) << "a box other than the confirmation: \"" << question.text
                                << "\" owned by \"" << question.ownerClass << "\"";
        EXPECT_EQ(question.caption, "Unpack");
        EXPECT_EQ(question.type, static_cast<UINT>(MB_ICONQUESTION | MB_YESNO))
            << std::hex << question.type;
        AnswerBox(question, isQuestion ? answer : IDCANCEL);
        if (isQuestion && answer == IDYES) {
            if (WaitForBox(installer, E2E_TIMEOUT_MS, &run->outcome)) {
                EXPECT_EQ(run->outcome.ownerClass, kProgressWindowClass) << run->outcome.text;
                AnswerBox(run->outcome, IDOK);
            } else {
                ADD_FAILURE() << "no message after the install; windows: "
                              << DescribeWindows(installer);
            }
        }
    }
    run->exitCode = WaitProgram(installer, E2E_TIMEOUT_MS);
}

void RunInstaller(const std::string &path, int answer, InstallerRun *run) {
    Program installer;
    if (!StartProgram(path, "", &installer)) {
        ADD_FAILURE() << "cannot start " << path;
        return;
    }
    AnswerConfirmation(&installer, answer, run);
    CloseProgram(&installer);
}

void ExpectPackageFailure(const std::string &path) {
    Program installer;
    ASSERT_TRUE(StartProgram(path, "", &installer)) << path;
    SeenBox box;
    if (WaitForBox(&installer, E2E_TIMEOUT_MS, &box)) {
        ExpectBox(box, kPackageFailureText, MB_ICONERROR | MB_OK, "");
        AnswerBox(box, IDOK);
        EXPECT_EQ(WaitProgram(&installer, E2E_TIMEOUT_MS), kExitStopped) << path;
    } else {
        ADD_FAILURE() << "no message box for " << path;
    }
    CloseProgram(&installer);
}

// ole32 is reached at run time, so that the test programs need no link
// libraries beyond the default ones; the identifiers are the published ones.
static const CLSID kShellLinkClass = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const IID kShellLinkInterface = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const IID kPersistFileInterface = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

typedef HRESULT(WINAPI *CoInitializeFunction)(LPVOID);
typedef HRESULT(WINAPI *CoCreateInstanceFunction)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);

// GetProcAddress's result, as a type any function pointer converts from.
typedef void (*AnyFunctionPointer)(void);
static AnyFunctionPointer AnyFunction(FARPROC function) {
    return reinterpret_cast<AnyFunctionPointer>(function);
}

bool ReadShellLink(const std::string &file, ShellLinkFields *fields) {
    HMODULE ole = LoadLibraryA("ole32.dll");
    if (!ole)
        return false;
    CoInitializeFunction coInitialize =
        reinterpret_cast<CoInitializeFunction>(AnyFunction(GetProcAddress(ole, "CoInitialize")));
    CoCreateInstanceFunction coCreateInstance = reinterpret_cast<CoCreateInstanceFunction>(
        AnyFunction(GetProcAddress(ole, "CoCreateInstance")));
    if (!coInitialize || !coCreateInstance)
        return false;
    coInitialize(NULL);
    IShellLinkA *link = NULL;
    IPersistFile *persist = NULL;
    WCHAR wide[MAX_PATH];
    char path[MAX_PATH] = "", directory[MAX_PATH] = "", icon[MAX_PATH] = "";
    int iconIndex = -1;
    HRESULT hr = coCreateInstance(kShellLinkClass, NULL, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                                  reinterpret_cast<void **>(&link));
    if (SUCCEEDED(hr))
        hr = link->QueryInterface(kPersistFileInterface, reinterpret_cast<void **>(&persist));
    if (SUCCEEDED(hr) && !MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH))
        hr = E_FAIL;
    if (SUCCEEDED(hr))
        hr = persist->Load(wide, STGM_READ);
    if (SUCCEEDED(hr))
        hr = link->GetPath(path, MAX_PATH, NULL, SLGP_RAWPATH);
    if (SUCCEEDED(hr))
        hr = link->GetWorkingDirectory(directory, MAX_PATH);
    if (SUCCEEDED(hr))
        hr = link->GetIconLocation(icon, MAX_PATH, &iconIndex);
    if (link)
        link->Release();
    if (persist)
        persist->Release();
    fields->target = path;
    fields->workingDirectory = directory;
    fields->iconPath = icon;
    fields->iconIndex = iconIndex;
    return SUCCEEDED(hr);
}
