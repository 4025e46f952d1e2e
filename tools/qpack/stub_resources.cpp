// A stub image's resources: read through the PE reader, and written back as
// a new section at the end of the image. See stub_branding.h.
#include "qpack/stub_branding.h"

#include <string.h>

#include <algorithm>

#include "pe/pe.h"

namespace {

// The most bytes of resources copied out of an image: directories that share
// their children could otherwise name the same data many times over.
const uint64_t kResourceBytesMax = uint64_t(64) << 20;
// More sections than this, Windows XP and 7 refuse to load.
const uint32_t kSectionCountMax = 96;
const uint32_t kSectionCharacteristics = 0x40000040; // initialized data, readable
const char kSectionName[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};

bool Fail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

uint64_t AlignUp(uint64_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

void Put(PackageBytes *bytes, uint64_t offset, uint32_t value, int width) {
    for (int i = 0; i < width; i++) {
        (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// ---- Keys and their order ----------------------------------------------------

ResourceKey KeyFromImage(const PeImage &image, const PeResourceKey &key) {
    ResourceKey result;
    result.named = key.named != 0;
    result.id = key.id;
    for (uint32_t i = 0; i < key.nameLength; i++) {
        const unsigned char *unit = image.bytes + key.nameOffset + 2 * i;
        result.name.push_back(static_cast<char16_t>(unit[0] | unit[1] << 8));
    }
    return result;
}

char16_t UnitUpper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

// The order Windows searches a directory in: names (compared without ASCII
// case, then exactly) before numbers, numbers ascending.
int KeyCompare(const ResourceKey &left, const ResourceKey &right) {
    if (left.named != right.named) {
        return left.named ? -1 : 1;
    }
    if (!left.named) {
        return left.id < right.id ? -1 : left.id > right.id;
    }
    std::u16string a = left.name, b = right.name;
    std::transform(a.begin(), a.end(), a.begin(), UnitUpper);
    std::transform(b.begin(), b.end(), b.begin(), UnitUpper);
    int folded = a.compare(b);
    return folded != 0 ? folded : left.name.compare(right.name);
}

int ResourceCompare(const Resource &left, const Resource &right) {
    int order = KeyCompare(left.type, right.type);
    order = order != 0 ? order : KeyCompare(left.name, right.name);
    return order != 0 ? order : KeyCompare(left.language, right.language);
}

// ---- Reading -------------------------------------------------------------------

struct ResourceCollection {
    const PeImage *image;
    std::vector<Resource> *resources;
    uint64_t bytes;
};

int ResourceCollect(void *context, const PeResource *found) {
    ResourceCollection *collection = static_cast<ResourceCollection *>(context);
    collection->bytes += found->dataSize;
    if (collection->bytes > kResourceBytesMax) {
        return 0;
    }
    const PeImage &image = *collection->image;
    Resource resource;
    resource.type = KeyFromImage(image, found->type);
    resource.name = KeyFromImage(image, found->name);
    resource.language = KeyFromImage(image, found->language);
    resource.codePage = found->codePage;
    resource.data.assign(image.bytes + found->dataOffset,
                         image.bytes + found->dataOffset + found->dataSize);
    collection->resources->push_back(std::move(resource));
    return 1;
}

// ---- Layout ----------------------------------------------------------------------

// The optional header's layout fields.
struct ImageLayout {
    uint32_t fileAlignment = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sizeOfImage = 0;
    uint32_t initializedData = 0;
    uint64_t rawEnd = 0;     // end of the last section's raw data
    uint64_t virtualEnd = 0; // aligned end of the last section in memory
};

bool LayoutRead(const PeImage &image, ImageLayout *layout) {
    uint32_t o = image.optionalHeaderOffset;
    return PeReadU32(&image, o + PE_FILE_ALIGNMENT_FIELD, &layout->fileAlignment) &&
           PeReadU32(&image, o + PE_SECTION_ALIGNMENT_FIELD, &layout->sectionAlignment) &&
           PeReadU32(&image, o + PE_SIZE_OF_HEADERS_FIELD, &layout->sizeOfHeaders) &&
           PeReadU32(&image, o + PE_SIZE_OF_IMAGE_FIELD, &layout->sizeOfImage) &&
           PeReadU32(&image, o + PE_SIZE_OF_INITIALIZED_DATA_FIELD, &layout->initializedData);
}

std::string AlignmentProblem(const PeImage &image, const ImageLayout &layout) {
    if (!PowerOfTwo(layout.fileAlignment) || layout.fileAlignment < 512 ||
        layout.fileAlignment > 65536) {
        return "its file alignment is not a power of two from 512 to 65536";
    }
    if (!PowerOfTwo(layout.sectionAlignment) || layout.sectionAlignment < layout.fileAlignment) {
        return "its section alignment is not a power of two at least its file alignment";
    }
    if (layout.sizeOfHeaders % layout.fileAlignment != 0 || layout.sizeOfHeaders > image.length ||
        layout.sizeOfHeaders <
            image.sectionTableOffset + uint64_t(image.sectionCount) * PE_SECTION_HEADER_SIZE) {
        return "its headers' size is not aligned or does not cover the section table";
    }
    return "";
}

// Checks the sections and finds where the image ends, in the file and in
// memory.
std::string SectionsProblem(const PeImage &image, ImageLayout *layout) {
    if (image.sectionCount == 0) {
        return "it has no sections";
    }
    layout->rawEnd = layout->sizeOfHeaders;
    layout->virtualEnd = AlignUp(layout->sizeOfHeaders, layout->sectionAlignment);
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(&image, i, &section); i++) {
        std::string which = "section " + std::to_string(i + 1);
        uint32_t extent = section.virtualSize != 0 ? section.virtualSize : section.rawSize;
        if (section.virtualAddress % layout->sectionAlignment != 0 ||
            section.virtualAddress < layout->virtualEnd) {
            return which + " is not at an aligned address after the one before it";
        }
        layout->virtualEnd =
            AlignUp(uint64_t(section.virtualAddress) + extent, layout->sectionAlignment);
        if (section.rawSize == 0) {
            continue;
        }
        if (section.rawOffset % layout->fileAlignment != 0 ||
            section.rawSize % layout->fileAlignment != 0 || section.rawOffset < layout->rawEnd ||
            uint64_t(section.rawOffset) + section.rawSize > image.length) {
            return which + "'s data is not aligned, overlaps the one before or leaves the file";
        }
        layout->rawEnd = uint64_t(section.rawOffset) + section.rawSize;
    }
    if (layout->virtualEnd != layout->sizeOfImage) {
        return "its SizeOfImage is not the aligned end of its last section";
    }
    return "";
}

// Checks that consecutive resources in tree order strictly ascend: every
// directory sorted as Windows searches it, no resource twice.
struct OrderCheck {
    const PeImage *image;
    Resource previous;
    bool first = true;
};

int ResourceOrderCheck(void *context, const PeResource *found) {
    OrderCheck *check = static_cast<OrderCheck *>(context);
    Resource current;
    current.type = KeyFromImage(*check->image, found->type);
    current.name = KeyFromImage(*check->image, found->name);
    current.language = KeyFromImage(*check->image, found->language);
    if (!check->first && ResourceCompare(check->previous, current) >= 0) {
        return 0;
    }
    check->first = false;
    check->previous = std::move(current);
    return 1;
}

std::string ResourceTreeProblem(const PeImage &image) {
    PeDataDirectory directory;
    uint32_t offset;
    if (!PeDataDirectoryGet(&image, PE_DIRECTORY_RESOURCE, &directory)) {
        return "it has no resource directory entry";
    }
    if ((directory.address != 0 || directory.size != 0) &&
        !PeRvaToOffset(&image, directory.address, directory.size, &offset)) {
        return "its resource directory does not lie inside one section";
    }
    OrderCheck check;
    check.image = &image;
    if (!PeResourcesWalk(&image, ResourceOrderCheck, &check)) {
        return "its resource tree is malformed or out of order";
    }
    return "";
}

std::string LayoutProblem(const PackageBytes &bytes, PeImage *image, ImageLayout *layout) {
    if (bytes.size() > UINT32_MAX || !PeImageRead(bytes.data(), uint32_t(bytes.size()), image) ||
        !LayoutRead(*image, layout)) {
        return "it is not a PE image";
    }
    std::string problem = AlignmentProblem(*image, *layout);
    problem = problem.empty() ? SectionsProblem(*image, layout) : problem;
    return problem.empty() ? ResourceTreeProblem(*image) : problem;
}

// ---- The tree ----------------------------------------------------------------------

// A directory of the tree being laid out: its entries are its children, or
// for a language directory's entries, resources.
struct TreeNode {
    ResourceKey key;
    std::vector<TreeNode> children;
    const Resource *resource = nullptr; // leaves only
    uint32_t offset = 0;                // of the directory, or of the data entry
    uint32_t nameOffset = 0;            // of the name string, when named
    uint32_t dataOffset = 0;            // leaves: of the data
};

// Groups resources (sorted, no repeats) into a tree of three levels.
TreeNode TreeBuild(const std::vector<const Resource *> &sorted) {
    TreeNode root;
    for (const Resource *resource : sorted) {
        if (root.children.empty() || KeyCompare(root.children.back().key, resource->type) != 0) {
            root.children.push_back(TreeNode());
            root.children.back().key = resource->type;
        }
        TreeNode &type = root.children.back();
        if (type.children.empty() || KeyCompare(type.children.back().key, resource->name) != 0) {
            type.children.push_back(TreeNode());
            type.children.back().key = resource->name;
        }
        TreeNode leaf;
        leaf.key = resource->language;
        leaf.resource = resource;
        type.children.back().children.push_back(leaf);
    }
    return root;
}

// Gives every part of the tree its offset: directories breadth first, then
// the data entries, the names and the data (each 8-byte aligned); returns
// the tree's size.
uint64_t TreeLayOut(TreeNode *root) {
    uint64_t size = 0;
    std::vector<TreeNode *> level = {root}, leaves, named;
    for (int depth = 0; depth < 3; depth++) {
        std::vector<TreeNode *> next;
        for (TreeNode *node : level) {
            node->offset = uint32_t(size);
            size += PE_RESOURCE_DIRECTORY_SIZE + node->children.size() * PE_RESOURCE_ENTRY_SIZE;
            for (TreeNode &child : node->children) {
                (depth < 2 ? next : leaves).push_back(&child);
                if (child.key.named) {
                    named.push_back(&child);
                }
            }
        }
        level = next;
    }
    for (TreeNode *leaf : leaves) {
        leaf->offset = uint32_t(size);
        size += PE_RESOURCE_DATA_ENTRY_SIZE;
    }
    for (TreeNode *node : named) {
        node->nameOffset = uint32_t(size);
        size += 2 + 2 * uint64_t(node->key.name.size());
    }
    for (TreeNode *leaf : leaves) {
        size = AlignUp(size, 8);
        leaf->dataOffset = uint32_t(std::min<uint64_t>(size, UINT32_MAX));
        size += leaf->resource->data.size();
    }
    return size;
}

// Writes the directory of node (and below) into tree; the data entries'
// RVAs count from rva.
void TreeWrite(const TreeNode &node, uint32_t rva, PackageBytes *tree) {
    size_t namedCount = 0;
    for (const TreeNode &child : node.children) {
        namedCount += child.key.named;
    }
    Put(tree, node.offset + 12, uint32_t(namedCount), 2);
    Put(tree, node.offset + 14, uint32_t(node.children.size() - namedCount), 2);
    uint64_t entry = node.offset + PE_RESOURCE_DIRECTORY_SIZE;
    for (const TreeNode &child : node.children) {
        if (child.key.named) {
            Put(tree, entry, 0x80000000u | child.nameOffset, 4);
            Put(tree, child.nameOffset, uint32_t(child.key.name.size()), 2);
            for (size_t i = 0; i < child.key.name.size(); i++) {
                Put(tree, child.nameOffset + 2 + 2 * i, child.key.name[i], 2);
            }
        } else {
            Put(tree, entry, child.key.id, 4);
        }
        if (child.resource == nullptr) {
            Put(tree, entry + 4, 0x80000000u | child.offset, 4);
            TreeWrite(child, rva, tree);
        } else {
            const PackageBytes &data = child.resource->data;
            Put(tree, entry + 4, child.offset, 4);
            Put(tree, child.offset, rva + child.dataOffset, 4);
            Put(tree, child.offset + 4, uint32_t(data.size()), 4);
            Put(tree, child.offset + 8, child.resource->codePage, 4);
            std::copy(data.begin(), data.end(), tree->begin() + child.dataOffset);
        }
        entry += PE_RESOURCE_ENTRY_SIZE;
    }
}

bool KeyIsSound(const ResourceKey &key) {
    return key.named ? key.name.size() <= UINT16_MAX : key.id <= 0x7FFFFFFFu;
}

// The resources in the order their tree holds them; false when two have the
// same type, name and language or a key cannot be written.
bool ResourcesSort(const std::vector<Resource> &resources, std::vector<const Resource *> *sorted,
                   std::string *error) {
    for (const Resource &resource : resources) {
        if (!KeyIsSound(resource.type) || !KeyIsSound(resource.name) ||
            !KeyIsSound(resource.language)) {
            return Fail(error, "a resource name is longer than 65535 units or its number too big");
        }
        sorted->push_back(&resource);
    }
    std::stable_sort(sorted->begin(), sorted->end(),
                     [](const Resource *left, const Resource *right) {
                         return ResourceCompare(*left, *right) < 0;
                     });
    for (size_t i = 1; i < sorted->size(); i++) {
        if (ResourceCompare(*(*sorted)[i - 1], *(*sorted)[i]) == 0) {
            return Fail(error, "two resources have the same type, name and language");
        }
    }
    return true;
}

// Room for one more section header after the table, inside the headers and
// unused (zero), so that writing it overwrites nothing.
bool SectionHeaderRoom(const PackageBytes &bytes, const PeImage &image, const ImageLayout &layout) {
    uint64_t slot =
        image.sectionTableOffset + uint64_t(image.sectionCount) * PE_SECTION_HEADER_SIZE;
    if (image.sectionCount >= kSectionCountMax ||
        slot + PE_SECTION_HEADER_SIZE > layout.sizeOfHeaders) {
        return false;
    }
    return std::all_of(bytes.begin() + slot, bytes.begin() + slot + PE_SECTION_HEADER_SIZE,
                       [](unsigned char byte) { return byte == 0; });
}

} // namespace

std::string StubImageProblem(const PackageBytes &bytes) {
    PeImage image;
    ImageLayout layout;
    return LayoutProblem(bytes, &image, &layout);
}

bool StubResourcesRead(const PackageBytes &bytes, std::vector<Resource> *resources,
                       std::string *error) {
    PeImage image;
    resources->clear();
    if (bytes.size() > UINT32_MAX || !PeImageRead(bytes.data(), uint32_t(bytes.size()), &image)) {
        return Fail(error, "it is not a PE image");
    }
    ResourceCollection collection = {&image, resources, 0};
    if (!PeResourcesWalk(&image, ResourceCollect, &collection)) {
        resources->clear();
        return Fail(error, collection.bytes > kResourceBytesMax
                               ? "its resources are larger than 64 MiB"
                               : "its resource tree is malformed");
    }
    return true;
}

bool StubResourcesWrite(PackageBytes *bytes, const std::vector<Resource> &resources,
                        std::string *error) {
    PeImage image;
    ImageLayout layout;
    std::string problem = LayoutProblem(*bytes, &image, &layout);
    if (!problem.empty()) {
        return Fail(error, problem);
    }
    PeSpan table;
    if (PeCertificateTableGet(&image, &table)) {
        return Fail(error, "it is signed, and a signature must come last: brand it unsigned");
    }
    if (!SectionHeaderRoom(*bytes, image, layout)) {
        return Fail(error, "its headers have no unused room for one more section");
    }
    std::vector<const Resource *> sorted;
    if (!ResourcesSort(resources, &sorted, error)) {
        return false;
    }
    TreeNode root = TreeBuild(sorted);
    uint64_t treeSize = TreeLayOut(&root);
    uint64_t rawOffset =
        AlignUp(std::max<uint64_t>(layout.rawEnd, bytes->size()), layout.fileAlignment);
    uint64_t rawSize = AlignUp(treeSize, layout.fileAlignment);
    uint64_t rva = layout.virtualEnd;
    uint64_t imageEnd = AlignUp(rva + treeSize, layout.sectionAlignment);
    if (imageEnd > 0x7FFFFFFF || rawOffset + rawSize > 0x7FFFFFFF ||
        uint64_t(layout.initializedData) + rawSize > UINT32_MAX) {
        return Fail(error, "the resources would make the image 2 GiB or larger");
    }
    PackageBytes tree(treeSize, 0);
    TreeWrite(root, uint32_t(rva), &tree);

    PackageBytes branded = *bytes;
    branded.resize(rawOffset, 0);
    branded.insert(branded.end(), tree.begin(), tree.end());
    branded.resize(rawOffset + rawSize, 0);
    uint64_t header =
        image.sectionTableOffset + uint64_t(image.sectionCount) * PE_SECTION_HEADER_SIZE;
    std::copy(kSectionName, kSectionName + 8, branded.begin() + header);
    Put(&branded, header + 8, uint32_t(treeSize), 4);
    Put(&branded, header + 12, uint32_t(rva), 4);
    Put(&branded, header + 16, uint32_t(rawSize), 4);
    Put(&branded, header + 20, uint32_t(rawOffset), 4);
    Put(&branded, header + 36, kSectionCharacteristics, 4);
    uint32_t o = image.optionalHeaderOffset;
    Put(&branded, o - PE_SECTION_COUNT_FIELD_BEFORE_OPTIONAL_HEADER, image.sectionCount + 1, 2);
    Put(&branded, o + PE_SIZE_OF_IMAGE_FIELD, uint32_t(imageEnd), 4);
    Put(&branded, o + PE_CHECKSUM_FIELD, 0, 4); // the sum of the old bytes; 0 is none
    Put(&branded, o + PE_SIZE_OF_INITIALIZED_DATA_FIELD, uint32_t(layout.initializedData + rawSize),
        4);
    PeDataDirectory directory;
    PeDataDirectoryGet(&image, PE_DIRECTORY_RESOURCE, &directory);
    Put(&branded, directory.entryOffset, uint32_t(rva), 4);
    Put(&branded, directory.entryOffset + 4, uint32_t(treeSize), 4);
    bytes->swap(branded);
    return true;
}
