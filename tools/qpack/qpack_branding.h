// The icon and version resources qpack build writes into the stub.
#pragma once

#include <string>
#include <vector>

#include "qpack/package_writer.h"
#include "qpack/stub_branding.h"

// The branding that qpack build's --icon (iconPath, "" when not given) and
// --version-info NAME=VALUE options ask for: the icon's images, and when any
// version string is given, the strings with ProductName defaulting to the
// manifest's product name and FileDescription to "<product> Setup". False
// with a message naming the icon or the option at fault.
bool BrandingPrepare(const std::string &iconPath, const std::vector<std::string> &versionInfo,
                     const std::string &manifestPath, StubBranding *branding, std::string *error);
// Writes the branding (when there is any) into the stub image; false with a
// message naming the stub when it cannot.
bool BrandingApply(const StubBranding &branding, const std::string &stubShownPath,
                   PackageBytes *stub, std::string *error);
// Text from the command line or a manifest as UTF-16: on Windows from the
// ANSI code page; elsewhere UTF-8, or Latin-1 when it is not UTF-8.
std::u16string VersionTextFromNative(const std::string &text);
