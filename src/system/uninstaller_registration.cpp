// The uninstaller's registration: a key below HKEY_LOCAL_MACHINE named as
// the package says (uninstall_key.h), holding what Programs and Features
// shows of the product. Its removal is a file of its own
// (uninstaller_unregistration.cpp), so that neither program carries the
// other's registry calls.
#include <windows.h>

#include <shellapi.h>
#include <string.h>

#include "package/extract.h"
#include "package/package.h"
#include "package/relative_names.h"
#include "pe/pe.h"
#include "system/system.h"
#include "text/text_format.h"
#include "removal/uninstall_key.h"

// The values written under the key, in this order: ANSI text, then the
// version resource's UTF-16 text, then numbers (REG_DWORD). A value without
// data is deleted, so that no earlier release's publisher or version
// outlives a reinstall.
enum UninstallValue {
    VALUE_DEFAULT,
    VALUE_NAME,
    VALUE_COMMAND,
    VALUE_ICON,
    VALUE_LOCATION,
    VALUE_DATE,
    VALUE_PUBLISHER,
    VALUE_VERSION,
    VALUE_SIZE,
    VALUE_NO_MODIFY,
    VALUE_NO_REPAIR,
    VALUE_COUNT
};

// The names in that order.
static const char kValueNames[][sizeof "UninstallString"] = {
    "",
    "DisplayName",
    "UninstallString",
    "DisplayIcon",
    "InstallLocation",
    "InstallDate",
    "Publisher",
    "DisplayVersion",
    "EstimatedSize",
    "NoModify",
    "NoRepair",
};
static_assert(sizeof kValueNames / sizeof kValueNames[0] == VALUE_COUNT, "a name for every value");

// What the values hold: data (null: none) and, for the UTF-16 text, its
// bytes with the NUL.
struct UninstallValues {
    const void *data[VALUE_COUNT];
    DWORD wideSize[VALUE_COUNT];
};

static int UninstallValuesWrite(HKEY key, const UninstallValues *values) {
    int written = 1; // every value is attempted even when one fails
    for (int i = 0; i < VALUE_COUNT; i++) {
        const char *name = kValueNames[i];
        const BYTE *data = static_cast<const BYTE *>(values->data[i]);
        LONG result;
        if (data == nullptr) {
            result = RegDeleteValueA(key, name);
            result = result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
        } else if (i == VALUE_PUBLISHER || i == VALUE_VERSION) {
            WCHAR wideName[16]; // the longest name is "DisplayVersion"
            for (int k = 0; (wideName[k] = static_cast<unsigned char>(name[k])) != 0; k++) {
            }
            result = RegSetValueExW(key, wideName, 0, REG_SZ, data, values->wideSize[i]);
        } else {
            DWORD number = i >= VALUE_SIZE;
            DWORD size = number
                             ? sizeof(DWORD)
                             : static_cast<DWORD>(strlen(reinterpret_cast<const char *>(data)) + 1);
            result = RegSetValueExA(key, name, 0, number ? REG_DWORD : REG_SZ, data, size);
        }
        written &= result == ERROR_SUCCESS;
    }
    return written;
}

// The version resource of the installer's own image as Windows loaded it;
// null when it has none.
static const unsigned char *OwnVersionResource(uint32_t *length) {
    const unsigned char *base = reinterpret_cast<const unsigned char *>(GetModuleHandleA(NULL));
    PeImage image;
    PeSpan resource;
    if (!PeLoadedImageRead(base, &image) ||
        !PeResourceFind(&image, PE_RESOURCE_VERSION, 1, &resource))
        return nullptr;
    *length = resource.length;
    return base + resource.offset;
}

// Points the value at the version resource's string name (UTF-16, its NUL
// follows it inside the resource); leaves it without data when there is
// none.
static void VersionStringTake(const unsigned char *resource, uint32_t length, const char *name,
                              UninstallValues *values, int value) {
    uint32_t text;
    uint32_t units = PeVersionStringFind(resource, length, name, &text); // length 0 without one
    if (units != 0) {
        values->data[value] = resource + text;
        values->wideSize[value] = 2 * units + 2;
    }
}

// What the installable entries take on disk, in KiB rounded up.
static DWORD InstalledKibibytes(void) {
    uint32_t total = ExtractInstallableTotal();
    return (total >> 10) + ((total & 1023) != 0);
}

int RegisterUninstaller(const InstallDescription *description, const char *directory) {
    if (description->uninstaller == nullptr) {
        return 1;
    }
    // The uninstaller's path, joined as every manifest name is, so that it
    // is the uninstaller's own path when it runs.
    char path[MAX_PATH];
    if (!RelativePathBuild(path, directory, description->uninstaller, nullptr)) {
        return 0;
    }
    char keyPath[UNINSTALL_KEY_PATH_SIZE];
    UninstallKeyPathFind(keyPath);
    HKEY key = NULL;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, &key) != ERROR_SUCCESS) {
        return 0;
    }
    UninstallValues values = {};
    values.data[VALUE_DEFAULT] = "";
    // Not null: the run refuses a manifest without a product name.
    values.data[VALUE_NAME] = description->productName;
    // The path in double quotes: unquoted, Windows would try
    // "C:\Program.exe" first for a path below "C:\Program Files". The
    // buffers have room for the path (below MAX_PATH), two characters more
    // and the NUL.
    char command[MAX_PATH + 2];
    TextFormat(command, sizeof command, "\"%s\"", path);
    values.data[VALUE_COMMAND] = command;
    // The uninstaller's first icon, when it has one: qpack brands the
    // uninstaller it generates with the installer's icon.
    char icon[MAX_PATH + 2];
    if (ExtractIconExA(path, -1, NULL, NULL, 0) != 0) {
        TextFormat(icon, sizeof icon, "%s,0", path);
        values.data[VALUE_ICON] = icon;
    }
    values.data[VALUE_LOCATION] = directory;
    char date[12]; // today, as YYYYMMDD
    if (GetDateFormatA(LOCALE_INVARIANT, 0, NULL, "yyyyMMdd", date, sizeof date))
        values.data[VALUE_DATE] = date;
    uint32_t length = 0;
    const unsigned char *version = OwnVersionResource(&length);
    VersionStringTake(version, length, "CompanyName", &values, VALUE_PUBLISHER);
    VersionStringTake(version, length, "ProductVersion", &values, VALUE_VERSION);
    DWORD kibibytes = InstalledKibibytes();
    static const DWORD kYes = 1;
    values.data[VALUE_SIZE] = &kibibytes;
    values.data[VALUE_NO_MODIFY] = &kYes;
    values.data[VALUE_NO_REPAIR] = &kYes;
    int written = UninstallValuesWrite(key, &values);
    RegCloseKey(key);
    return written;
}
