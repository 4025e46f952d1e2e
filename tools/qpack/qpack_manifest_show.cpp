// qpack show: the install description exactly as the stub will see it,
// loaded from the installer by the stub's own ManifestLoad.
#include <stdio.h>

#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "package/package.h"
#include "package/relative_names.h"
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"

namespace {

// Manifest strings are bytes in the ANSI code page of whatever machine runs
// the installer, which qpack cannot know. Bytes from 0x80 up are escaped as
// the Latin-1 characters of the same number, so the output is plain ASCII,
// valid JSON whatever the bytes, and each byte can be recovered exactly.
std::string JsonString(const char *text) {
    if (text == nullptr) {
        return "null";
    }
    std::string json = "\"";
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != 0; c++) {
        if (*c == '"' || *c == '\\') {
            json += '\\';
            json += static_cast<char>(*c);
        } else if (*c < 0x20 || *c >= 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", *c);
            json += escape;
        } else {
            json += static_cast<char>(*c);
        }
    }
    return json + "\"";
}

std::string ShownString(const char *text) {
    return text == nullptr ? "(absent)" : Quoted(text);
}

// "0x000000ff (#ff0000)": the COLORREF, then the colour as the manifest writes it.
std::string ShownColour(ColourRef colour) {
    char text[32];
    snprintf(text, sizeof text, "0x%08x (#%02x%02x%02x)", static_cast<unsigned>(colour),
             static_cast<unsigned>(colour & 0xff), static_cast<unsigned>((colour >> 8) & 0xff),
             static_cast<unsigned>((colour >> 16) & 0xff));
    return text;
}

// Why the stub would refuse the record; "" when ManifestIsUsable holds.
std::string UnusableReason(const InstallDescription &description, bool loaded) {
    if (ManifestIsUsable(&description)) {
        return "";
    }
    if (!loaded) {
        return PackageFindEntry(MANIFEST_ENTRY_NAME) == nullptr
                   ? "the installer has no manifest"
                   : "the manifest does not inflate to its size";
    }
    if (!ProductNameIsSafe(description.productName)) {
        return description.productName == nullptr
                   ? "no product name"
                   : "the product name cannot name a folder: it holds " +
                         ProductNameProblemText(description.productName);
    }
    return description.directoryName == nullptr
               ? "no install directory"
               : "the install directory does not stay below Program Files";
}

// What the installer will skip though the record holds it: the shortcuts
// and stale files whose names the one name rule refuses.
std::vector<std::string> SkippedEntries(const InstallDescription &d) {
    std::vector<std::string> skipped;
    for (const ShortcutEntry *entry = d.shortcuts; entry != nullptr; entry = entry->next) {
        std::string name = RelativeNameProblemText(entry->shortcutName);
        std::string target = RelativeNameProblemText(entry->targetPath);
        if (!name.empty() || !target.empty()) {
            skipped.push_back("the shortcut " + Quoted(entry->shortcutName) + " is skipped: its " +
                              (name.empty() ? "target " + Quoted(entry->targetPath) + " " + target
                                            : "name " + name));
        }
    }
    for (const DeleteEntry *entry = d.deleteFiles; entry != nullptr; entry = entry->next) {
        std::string problem = RelativeNameProblemText(entry->fileName);
        if (!problem.empty()) {
            skipped.push_back("the delfile " + Quoted(entry->fileName) + " is skipped: " + problem);
        }
    }
    return skipped;
}

void ShowText(const InstallDescription &d, const std::string &unusable) {
    printf("productName:          %s\n", ShownString(d.productName).c_str());
    printf("directoryName:        %s\n", ShownString(d.directoryName).c_str());
    printf("origin:               %s\n", ShownString(d.origin).c_str());
    printf("mutexName:            %s\n", ShownString(d.mutexName).c_str());
    printf("mainWindowName:       %s\n", ShownString(d.mainWindowName).c_str());
    printf("backgroundColour:     %s\n", ShownColour(d.backgroundColour).c_str());
    printf("progressBarColour:    %s\n", ShownColour(d.progressBarColour).c_str());
    printf("progressBorderColour: %s\n", ShownColour(d.progressBorderColour).c_str());
    printf("statusTextColour:     %s\n", ShownColour(d.statusTextColour).c_str());
    printf("shortcuts (first handled first):\n");
    for (const ShortcutEntry *entry = d.shortcuts; entry != nullptr; entry = entry->next) {
        printf("  %s -> %s, icon %d\n", Quoted(entry->shortcutName).c_str(),
               Quoted(entry->targetPath).c_str(), static_cast<int>(entry->iconIndex));
    }
    printf("deleteFiles (first deleted first):\n");
    for (const DeleteEntry *entry = d.deleteFiles; entry != nullptr; entry = entry->next) {
        printf("  %s\n", Quoted(entry->fileName).c_str());
    }
    printf("uninstaller:          %s\n", ShownString(d.uninstaller).c_str());
    printf("usable: %s\n", unusable.empty() ? "yes" : ("no (" + unusable + ")").c_str());
    for (const std::string &warning : SkippedEntries(d)) {
        printf("warning: %s\n", warning.c_str());
    }
}

void ShowJsonLists(const InstallDescription &d) {
    printf("  \"shortcuts\": [");
    for (const ShortcutEntry *entry = d.shortcuts; entry != nullptr; entry = entry->next) {
        printf("%s\n    {\"shortcutName\": %s, \"targetPath\": %s, \"iconIndex\": %d}",
               entry == d.shortcuts ? "" : ",", JsonString(entry->shortcutName).c_str(),
               JsonString(entry->targetPath).c_str(), static_cast<int>(entry->iconIndex));
    }
    printf("%s],\n", d.shortcuts == nullptr ? "" : "\n  ");
    printf("  \"deleteFiles\": [");
    for (const DeleteEntry *entry = d.deleteFiles; entry != nullptr; entry = entry->next) {
        printf("%s%s", entry == d.deleteFiles ? "" : ", ", JsonString(entry->fileName).c_str());
    }
    printf("],\n");
}

void ShowJson(const InstallDescription &d, bool usable) {
    printf("{\n");
    printf("  \"productName\": %s,\n", JsonString(d.productName).c_str());
    printf("  \"directoryName\": %s,\n", JsonString(d.directoryName).c_str());
    printf("  \"origin\": %s,\n", JsonString(d.origin).c_str());
    printf("  \"mutexName\": %s,\n", JsonString(d.mutexName).c_str());
    printf("  \"mainWindowName\": %s,\n", JsonString(d.mainWindowName).c_str());
    printf("  \"backgroundColour\": %u,\n", static_cast<unsigned>(d.backgroundColour));
    printf("  \"progressBarColour\": %u,\n", static_cast<unsigned>(d.progressBarColour));
    printf("  \"progressBorderColour\": %u,\n", static_cast<unsigned>(d.progressBorderColour));
    printf("  \"statusTextColour\": %u,\n", static_cast<unsigned>(d.statusTextColour));
    ShowJsonLists(d);
    printf("  \"uninstaller\": %s,\n", JsonString(d.uninstaller).c_str());
    std::vector<std::string> skipped = SkippedEntries(d);
    printf("  \"warnings\": [");
    for (size_t i = 0; i < skipped.size(); i++) {
        printf("%s%s", i == 0 ? "" : ", ", JsonString(skipped[i].c_str()).c_str());
    }
    printf("],\n");
    printf("  \"usable\": %s\n}\n", usable ? "true" : "false");
}

} // namespace

int ShowCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status =
        CommandArgumentsParse("show", args, {{"json", 0, false}}, {}, "INSTALLER", &parsed);
    if (status >= 0) {
        return status;
    }
    if (!InstallerOpen(parsed.operands[0])) {
        return QPACK_EXIT_FAILED;
    }
    InstallDescription description;
    bool loaded = ManifestLoad(&description) != 0;
    std::string unusable = UnusableReason(description, loaded);
    if (ArgumentsHave(parsed, "json")) {
        ShowJson(description, unusable.empty());
    } else {
        ShowText(description, unusable);
    }
    ManifestFree(&description);
    PackageClose();
    return QPACK_EXIT_OK;
}
