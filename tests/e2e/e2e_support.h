// Driving real installers from a Windows test program: start them, find
// their windows and message boxes, read and press them, and wait for them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Under an emulated Wine a process start alone takes seconds: every wait
// here is generous, since these are behaviour tests, not timing tests.
const DWORD E2E_TIMEOUT_MS = 60000;

// The stub as built, read from beside this test program.
const std::string &StubImage(void);

// An installer: the stub followed by a package of these entries (names
// with their leading "\"), made by the writer library as qpack makes them.
struct TestEntry {
    std::string name;
    std::string data;
};
std::string MakeInstaller(const std::vector<TestEntry> &entries);

// A fresh empty folder for one test, below the system's temporary folder.
std::string MakeTestFolder(const std::string &name);

void WriteFileBytes(const std::string &path, const std::string &bytes);
std::string ReadFileBytes(const std::string &path); // empty when unreadable
void RemoveTree(const std::string &folder);
bool FileExists(const std::string &path);

// A started program; closed by CloseProgram.
struct Program {
    PROCESS_INFORMATION info;
};

bool StartProgram(const std::string &path, const std::string &arguments, Program *program);
// The exit code once the program has ended, or STILL_ACTIVE after timeout.
DWORD WaitProgram(Program *program, DWORD timeoutMs);
void CloseProgram(Program *program); // ends it first if it still runs

// Visible top-level windows of the program's process.
std::vector<HWND> ProgramWindows(const Program *program);
// Waits for a message box (dialog class "#32770") of the program; null after
// timeout or when the program ended first.
HWND WaitForMessageBox(const Program *program, DWORD timeoutMs);
// Waits for a visible top-level window of the program with the given class.
HWND WaitForWindowClass(const Program *program, const char *className, DWORD timeoutMs);

std::string WindowText(HWND window);
// Class, title and message of every visible window of the program, for
// failure messages.
std::string DescribeWindows(const Program *program);
std::string MessageBoxText(HWND box); // the box's message, not its caption
// Presses a message box button (IDOK, IDYES, IDNO, IDCANCEL...).
void PressButton(HWND box, int id);

// Runs the installer at path, answers its confirmation ("This program will
// install ...") with answer, presses OK on the message that follows a yes
// and returns that message's text (empty after a no). The confirmation's
// text goes to question when it is not null; the exit code to exitCode.
std::string RunInstallerAnswering(const std::string &path, int answer, DWORD *exitCode,
                                  std::string *question = nullptr);

// What a shell link (".lnk") points at, read back through IShellLinkA.
struct ShellLinkFields {
    std::string target;
    std::string workingDirectory;
    std::string iconPath;
    int iconIndex;
};
// false when the link cannot be loaded or read.
bool ReadShellLink(const std::string &file, ShellLinkFields *fields);
