// Reading a program's version resource as Windows does, for the tests that
// check branded stubs and installers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The program's whole version resource (GetFileVersionInfoA); empty when it
// has none.
inline std::vector<char> VersionResourceRead(const std::string &path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, info.data()))
        info.clear();
    return info;
}

// A string of the US English, Unicode table, as VerQueryValueA gives it;
// "<none>" when it is missing.
inline std::string VersionResourceString(const std::vector<char> &info, const std::string &name) {
    char *value = NULL;
    UINT length = 0;
    std::string block = "\\StringFileInfo\\040904B0\\" + name;
    if (info.empty() ||
        !VerQueryValueA(info.data(), block.c_str(), reinterpret_cast<void **>(&value), &length) ||
        value == NULL)
        return "<none>";
    return std::string(value, length > 0 ? length - 1 : 0);
}

// The fixed part; null when it is missing.
inline const VS_FIXEDFILEINFO *VersionResourceFixed(const std::vector<char> &info) {
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (info.empty() ||
        !VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) ||
        length != sizeof(VS_FIXEDFILEINFO))
        return NULL;
    return fixed;
}
