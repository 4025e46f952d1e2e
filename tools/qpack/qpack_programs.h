// The programs qpack builds installers from, as installed with it.
#pragma once

#include <string>

// The programs qpack builds installers from, by file name.
const char QPACK_STUB_FILE[] = "qunpack.exe";
const char QPACK_UNINSTALLER_STUB_FILE[] = "qunpack-uninstall.exe";

// The path of file as installed with qpack: in share/qunpack beside the
// folder qpack runs from (bin), else beside qpack itself. False with a
// message naming every place looked in when there is none.
bool InstalledProgramFind(const char *file, std::string *path, std::string *error);

// qpack's version, and the version and path of each installed program.
void VersionPrint(void);
