// Any bytes as an icon file and a stub image to brand. The input is a
// 16-bit little-endian length, that many bytes of .ico file, and the stub
// image (the test PE image when none is left). The icon reader either
// refuses or hands out images that match their entries; branding either
// refuses, leaving the image as it was, or makes an image that the strict
// layout check and the PE reader accept, holding the new icon and version
// and every other resource the stub had, byte for byte.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../tests/unit/pe_bytes.h"
#include "pe/pe.h"
#include "qpack/stub_branding.h"

static void Fail(const char *what) {
    fprintf(stderr, "branding_fuzz: %s\n", what);
    abort();
}

static bool Replaced(const Resource &resource, bool icon) {
    uint32_t type = resource.type.named ? 0 : resource.type.id;
    return (icon && (type == PE_RESOURCE_ICON || type == PE_RESOURCE_GROUP_ICON)) ||
           type == PE_RESOURCE_VERSION;
}

static bool SameKey(const ResourceKey &left, const ResourceKey &right) {
    return left.named == right.named && left.id == right.id && left.name == right.name;
}

static const Resource *Find(const std::vector<Resource> &resources, const Resource &wanted) {
    for (const Resource &resource : resources) {
        if (SameKey(resource.type, wanted.type) && SameKey(resource.name, wanted.name) &&
            SameKey(resource.language, wanted.language))
            return &resource;
    }
    return nullptr;
}

static void CheckIcon(const std::vector<IconImage> &images) {
    if (images.empty())
        Fail("an icon without images");
    for (const IconImage &image : images) {
        if (image.data.empty() || image.planes == 0 || image.bitCount == 0)
            Fail("an image without data, planes or bit count");
    }
}

static void CheckBranded(const PackageBytes &before, const PackageBytes &after,
                         const StubBranding &branding) {
    std::string error;
    std::string problem = StubImageProblem(after);
    if (!problem.empty())
        Fail(("a branded image the strict check refuses: " + problem).c_str());
    PeImage image;
    if (!PeImageRead(after.data(), uint32_t(after.size()), &image))
        Fail("a branded image the PE reader refuses");
    std::vector<Resource> old, now;
    if (!StubResourcesRead(before, &old, &error) || !StubResourcesRead(after, &now, &error))
        Fail("resources that cannot be read back");
    size_t kept = 0;
    for (const Resource &resource : old) {
        if (Replaced(resource, !branding.icon.empty()))
            continue;
        const Resource *found = Find(now, resource);
        if (found == nullptr || found->data != resource.data)
            Fail("a resource of the stub lost or changed");
        kept++;
    }
    size_t added = branding.icon.empty() ? 0 : branding.icon.size() + 1;
    if (now.size() != kept + added + 1)
        Fail("resources added beyond the icon and the version");
    if (after.size() < before.size() ||
        !std::equal(before.begin() + image.sectionTableOffset + image.sectionCount * 40,
                    before.end(),
                    after.begin() + image.sectionTableOffset + image.sectionCount * 40))
        Fail("bytes of the stub after its headers changed");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    size_t iconLength = std::min<size_t>(data[0] | data[1] << 8, size - 2);
    const uint8_t *icon = data + 2;
    PackageBytes stub(icon + iconLength, data + size);
    if (stub.empty())
        stub = TestPeImage();

    StubBranding branding;
    std::string problem;
    if (IconFileParse(icon, iconLength, &branding.icon, &problem)) {
        CheckIcon(branding.icon);
    } else if (!branding.icon.empty() || problem.empty()) {
        Fail("a refused icon with images or without a reason");
    }
    // The icon's bytes as a version too, read as numbers or not.
    std::u16string text(icon, icon + std::min<size_t>(iconLength, 24));
    uint16_t parts[4];
    VersionNumbersParse(text, parts);
    branding.version = {{"ProductName", u"Fuzz"}, {"FileVersion", text}};

    PackageBytes image = stub;
    std::string error;
    if (StubBrand(&image, branding, &error)) {
        CheckBranded(stub, image, branding);
    } else if (image != stub || error.empty()) {
        Fail("a refused branding that changed the image or gave no reason");
    }
    return 0;
}
