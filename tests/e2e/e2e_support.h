// Driving real installers from a Windows test program: start them, find
// their windows and message boxes, read and press them, and wait for them.
//
// A window is recognised by what it is (its process, class and owner),
// never by the order in which windows are listed, and a message box is read
// in full before it is answered: once answered, it and its owner may go at
// any moment. Every wait is for something to happen, bounded generously, so
// that a fast machine and a slow (emulated) one pass alike.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "../win/win_test_support.h" // unique names, files and autostart entries

// Under an emulated Wine a process start alone takes seconds: every wait
// here is generous, since these are behaviour tests, not timing tests.
const DWORD E2E_TIMEOUT_MS = 60000;

const char kMessageBoxClass[] = "#32770";
const char kProgressWindowClass[] = "QUnpack_WindowClass";
const char kPackageFailureText[] =
    "Failed to read package file.\t\t\n\n - try downloading it again";
const DWORD kExitStopped = 0xFFFFFFFFu; // the stub's -1
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane";

// The path of a program built beside this test program (qpack.exe, the
// stub, the uninstaller, the helpers).
std::string BesideTests(const char *name);

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
std::string SpecialFolder(int csidl); // empty when the shell cannot say
bool UninstallKeyExists(void);

// A started program; closed by CloseProgram.
struct Program {
    PROCESS_INFORMATION info;
};

bool StartProgram(const std::string &path, const std::string &arguments, Program *program);
// The exit code once the program has ended, or STILL_ACTIVE after timeout.
DWORD WaitProgram(Program *program, DWORD timeoutMs);
// The same, failing the test if the program shows any window meanwhile;
// STILL_ACTIVE as soon as it does.
DWORD WaitProgramWithoutWindows(Program *program, DWORD timeoutMs);
void CloseProgram(Program *program); // ends it first if it still runs

// Visible top-level windows of the program's process, in no useful order.
std::vector<HWND> ProgramWindows(const Program *program);
std::string WindowClass(HWND window); // empty for no window
std::string WindowText(HWND window);
std::string MessageBoxText(HWND box); // the box's message, not its caption
// Class, title and message of every visible window of the program, for
// failure messages.
std::string DescribeWindows(const Program *program);

// Everything a test checks of a message box, read while it waits for an
// answer: its owner cannot go away before.
struct SeenBox {
    HWND box = NULL;
    std::string caption;
    std::string text;
    // The MB_ icon and button flags the box shows: the buttons it has and
    // the standard icon its picture matches (none: no icon flag).
    UINT type = 0;
    HWND owner = NULL; // GetWindow(box, GW_OWNER)
    std::string ownerClass, ownerTitle;
    RECT ownerRectangle = {0, 0, 0, 0};
};

// Waits for a message box of the program that shows its message, and
// reads it. false after timeout or when the program ended first.
bool WaitForBox(const Program *program, DWORD timeoutMs, SeenBox *seen);
// Expects the stub's caption, this text and type, and an owner of this
// class ("" for a box that belongs to no window).
void ExpectBox(const SeenBox &seen, const std::string &text, UINT type, const char *ownerClass);
// Presses a button (IDOK, IDYES, IDNO, IDCANCEL...) and waits until the box
// has gone, so that the next box looked for is a new one.
void AnswerBox(const SeenBox &seen, int button);

// What an installer showed from its confirmation ("This program will
// install ...") to its end.
struct InstallerRun {
    SeenBox question;
    SeenBox outcome; // the message after a yes; no box after a no
    DWORD exitCode = STILL_ACTIVE;
};
// Waits for the confirmation over the progress window, checks it, answers
// it, presses OK on the message that follows a yes, and waits for the end.
// A box other than the confirmation fails the test and is cancelled.
void AnswerConfirmation(Program *installer, int answer, InstallerRun *run);
// The same for the installer at path, started and closed here.
void RunInstaller(const std::string &path, int answer, InstallerRun *run);
// Starts the installer at path and expects the package failure message,
// answered with OK, then exit code -1.
void ExpectPackageFailure(const std::string &path);

// What a shell link (".lnk") points at, read back through IShellLinkA.
struct ShellLinkFields {
    std::string target;
    std::string workingDirectory;
    std::string iconPath;
    int iconIndex;
};
// false when the link cannot be loaded or read.
bool ReadShellLink(const std::string &file, ShellLinkFields *fields);
