#include "e2e_support.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "qpack/package_writer.h"

const std::string &StubImage(void) {
    static std::string image;
    if (image.empty()) {
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
        std::string folder(path, length);
        folder.resize(folder.find_last_of('\\') + 1);
        image = ReadFileBytes(folder + "qunpack.exe");
    }
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

bool FileExists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

HWND WaitForWindowClass(const Program *program, const char *className, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : ProgramWindows(program)) {
            char name[64];
            if (GetClassNameA(window, name, sizeof name) && strcmp(name, className) == 0)
                return window;
        }
        if (WaitForSingleObject(program->info.hProcess, 0) == WAIT_OBJECT_0)
            return NULL;
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(50);
    }
}

HWND WaitForMessageBox(const Program *program, DWORD timeoutMs) {
    // A box is visible a moment before its text is set: wait for the text.
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        HWND box = WaitForWindowClass(program, "#32770", spent < timeoutMs ? timeoutMs - spent : 0);
        if (!box || !MessageBoxText(box).empty())
            return box;
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(20);
    }
}

std::string WindowText(HWND window) {
    char text[4096];
    int length = GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? length : 0);
}

std::string DescribeWindows(const Program *program) {
    std::string description;
    for (HWND window : ProgramWindows(program)) {
        char name[64] = "";
        GetClassNameA(window, name, sizeof name);
        description += std::string("[") + name + " \"" + WindowText(window) + "\" \"" +
                       MessageBoxText(window) + "\"] ";
    }
    return description.empty() ? "none" : description;
}

std::string MessageBoxText(HWND box) {
    // The message of a message box is its static control 0xFFFF.
    char text[4096];
    UINT length = GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return std::string(text, length);
}

void PressButton(HWND box, int id) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

std::string RunInstallerAnswering(const std::string &path, int answer, DWORD *exitCode,
                                  std::string *question) {
    Program program;
    EXPECT_TRUE(StartProgram(path, "", &program));
    std::string outcome;
    HWND box = WaitForMessageBox(&program, E2E_TIMEOUT_MS);
    EXPECT_NE(box, (HWND)NULL) << "no confirmation";
    if (box) {
        std::string text = MessageBoxText(box);
        EXPECT_EQ(text.compare(0, 26, "This program will install "), 0) << text;
        if (question)
            *question = text;
        PressButton(box, answer);
    }
    if (box && answer == IDYES) {
        // The confirmation lingers a moment while it goes away, and loses its
        // text first: the outcome is the next box with a text of its own.
        DWORD start = GetTickCount();
        HWND next = NULL;
        while (!next && GetTickCount() - start < E2E_TIMEOUT_MS) {
            for (HWND window : ProgramWindows(&program)) {
                char name[64] = "";
                GetClassNameA(window, name, sizeof name);
                if (window != box && strcmp(name, "#32770") == 0 && !MessageBoxText(window).empty())
                    next = window;
            }
            if (WaitForSingleObject(program.info.hProcess, 0) == WAIT_OBJECT_0)
                break;
            Sleep(50);
        }
        EXPECT_NE(next, (HWND)NULL)
            << "no message after the install; windows: " << DescribeWindows(&program);
        if (next) {
            EXPECT_EQ(WindowText(next), "Unpack");
            outcome = MessageBoxText(next);
            PressButton(next, IDOK);
        }
    }
    *exitCode = WaitProgram(&program, E2E_TIMEOUT_MS);
    CloseProgram(&program);
    return outcome;
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
