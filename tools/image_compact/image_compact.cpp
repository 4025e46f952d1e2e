// Folding a linked small program's resources and relocations into its data
// section. See image_compact.h.
#include "image_compact/image_compact.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pe/pe.h"

namespace {

const uint32_t kFileAlignment = 0x200;
const uint32_t kSectionAlignment = 0x1000;
const uint32_t kDosPePointer = 0x3C;
const uint32_t kDosProgram = 0x40;
const unsigned char kDosExit[] = {0xB8, 0x01, 0x4C, 0xCD, 0x21}; // mov ax,4C01h; int 21h
const uint32_t kNewPeHeaders = 0x48;
const uint32_t kSectionCountField = 6; // from "PE\0\0"
const uint32_t kNtHeadersBeforeOptional = 24;
const uint32_t kImageBaseField = 28;
const uint32_t kDirectoryRelocations = 5;
const uint32_t kScnInitializedData = 0x40;
const uint32_t kRelocationHighLow = 3;
const uint32_t kRelocationPadding = 0;
const uint64_t kImageSizeMax = uint64_t(256) << 20;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

uint32_t Load32(const Bytes &bytes, uint32_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
           uint32_t(bytes[offset + 2]) << 16 | uint32_t(bytes[offset + 3]) << 24;
}

void Store(Bytes *bytes, uint32_t offset, uint32_t value, int width) {
    for (int i = 0; i < width; i++) {
        (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// A read image: its headers and its sections, in table order.
struct Image {
    PeImage pe;
    uint32_t imageBase = 0;
    std::vector<PeSection> sections;
};

bool ImageRead(const Bytes &bytes, Image *image, std::string *problem) {
    if (bytes.size() > UINT32_MAX ||
        !PeImageRead(bytes.data(), uint32_t(bytes.size()), &image->pe) ||
        image->pe.magic != PE32_MAGIC) {
        *problem = "it is not a PE32 image";
        return false;
    }
    uint32_t sectionAlignment = 0, fileAlignment = 0;
    PeReadU32(&image->pe, image->pe.optionalHeaderOffset + PE_SECTION_ALIGNMENT_FIELD,
              &sectionAlignment);
    PeReadU32(&image->pe, image->pe.optionalHeaderOffset + PE_FILE_ALIGNMENT_FIELD, &fileAlignment);
    PeReadU32(&image->pe, image->pe.optionalHeaderOffset + kImageBaseField, &image->imageBase);
    if (sectionAlignment != kSectionAlignment || fileAlignment != kFileAlignment) {
        *problem = "its alignments are not 4 KiB in memory and 512 bytes in the file";
        return false;
    }
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(&image->pe, i, &section); i++) {
        if (uint64_t(section.rawOffset) + section.rawSize > bytes.size()) {
            *problem = std::string("section ") + section.name + " runs past the end of the file";
            return false;
        }
        // A small program's sections lie in its first 256 MiB.
        if (uint64_t(section.virtualAddress) + section.virtualSize > kImageSizeMax) {
            *problem = std::string("section ") + section.name + " lies too far into memory";
            return false;
        }
        image->sections.push_back(section);
    }
    return true;
}

// The image as the loader maps it: each section's bytes at its address
// (no more of its raw data than its virtual size), zeros elsewhere.
Bytes ImageMapped(const Bytes &bytes, const Image &image) {
    uint32_t end = 0;
    for (const PeSection &section : image.sections) {
        end =
            std::max(end, AlignUp(section.virtualAddress + section.virtualSize, kSectionAlignment));
    }
    Bytes mapped(end, 0);
    for (const PeSection &section : image.sections) {
        uint32_t count = std::min(section.rawSize, section.virtualSize);
        std::copy_n(bytes.begin() + section.rawOffset, count,
                    mapped.begin() + section.virtualAddress);
    }
    return mapped;
}

struct ResourceSeen {
    uint32_t type, name, language; // numbers, or file offsets of names
    uint32_t dataRva, dataSize, dataEntryOffset;
    Bytes data;
};

int ResourceCollect(void *context, const PeResource *resource) {
    const Bytes &bytes = *static_cast<const Bytes *>(static_cast<void **>(context)[0]);
    auto *seen = static_cast<std::vector<ResourceSeen> *>(static_cast<void **>(context)[1]);
    ResourceSeen one;
    one.type = resource->type.named ? 0x80000000u | resource->type.nameLength : resource->type.id;
    one.name = resource->name.named ? 0x80000000u | resource->name.nameLength : resource->name.id;
    one.language = resource->language.id;
    one.dataRva = resource->dataRva;
    one.dataSize = resource->dataSize;
    one.dataEntryOffset = resource->dataEntryOffset;
    one.data.assign(bytes.begin() + resource->dataOffset,
                    bytes.begin() + resource->dataOffset + resource->dataSize);
    seen->push_back(one);
    return 1;
}

bool ResourcesRead(const Bytes &bytes, const Image &image, std::vector<ResourceSeen> *seen) {
    void *context[2] = {const_cast<Bytes *>(&bytes), seen};
    return PeResourcesWalk(&image.pe, ResourceCollect, context) != 0;
}

// No address held by code or data may point into what moves: every
// HIGHLOW relocation's target is read and checked against [from, to).
bool RelocationsAvoid(const Bytes &mapped, const Image &image, uint32_t relocations, uint32_t size,
                      uint32_t from, uint32_t to, std::string *problem) {
    if (uint64_t(relocations) + size > mapped.size()) {
        *problem = "its relocations lie outside its sections";
        return false;
    }
    for (uint32_t block = relocations; block + 8 <= relocations + size;) {
        uint32_t page = Load32(mapped, block), blockSize = Load32(mapped, block + 4);
        if (blockSize < 8 || blockSize > relocations + size - block || blockSize % 2 != 0) {
            *problem = "its relocation blocks are malformed";
            return false;
        }
        for (uint32_t at = block + 8; at < block + blockSize; at += 2) {
            uint32_t entry = mapped[at] | uint32_t(mapped[at + 1]) << 8;
            uint32_t type = entry >> 12, target = page + (entry & 0xFFF);
            if (type == kRelocationPadding) {
                continue;
            }
            if (type != kRelocationHighLow || uint64_t(target) + 4 > mapped.size()) {
                *problem = "it has a relocation other than a 32-bit one inside the image";
                return false;
            }
            uint32_t address = Load32(mapped, target) - image.imageBase;
            if (address >= from && address < to) {
                *problem = "code or data holds an address inside its resources or relocations";
                return false;
            }
        }
        block += blockSize;
    }
    return true;
}

// The standard PE checksum: 16-bit words summed with their carries folded
// back, the CheckSum field itself read as zero, plus the file's length.
uint32_t ImageChecksum(const Bytes &bytes, uint32_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t word = bytes[i] | (i + 1 < bytes.size() ? uint32_t(bytes[i + 1]) << 8 : 0);
        if (i == checksumOffset || i == checksumOffset + 2) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint32_t(sum + bytes.size());
}

bool Fail(std::string *problem, const std::string &message) {
    *problem = message;
    return false;
}

// Checks the result against the input: sections kept at the same addresses
// with the same bytes, the same resources with the same data, the same
// relocations.
bool CompactCheck(const Bytes &before, const Image &old, const Bytes &after, uint32_t relocationRva,
                  uint32_t relocationSize, std::string *problem) {
    Image compact;
    if (!ImageRead(after, &compact, problem)) {
        return Fail(problem, "the result cannot be read back: " + *problem);
    }
    Bytes oldMapped = ImageMapped(before, old), newMapped = ImageMapped(after, compact);
    for (size_t i = 0; i + 2 < old.sections.size(); i++) {
        const PeSection &section = old.sections[i];
        uint32_t count = std::min(section.rawSize, section.virtualSize);
        if (newMapped.size() < section.virtualAddress + count ||
            !std::equal(oldMapped.begin() + section.virtualAddress,
                        oldMapped.begin() + section.virtualAddress + count,
                        newMapped.begin() + section.virtualAddress)) {
            return Fail(problem, std::string("section ") + section.name + " changed");
        }
    }
    const PeSection &relocations = old.sections.back();
    if (newMapped.size() < relocationRva + relocationSize ||
        !std::equal(oldMapped.begin() + relocations.virtualAddress,
                    oldMapped.begin() + relocations.virtualAddress + relocationSize,
                    newMapped.begin() + relocationRva)) {
        return Fail(problem, "the relocations changed");
    }
    std::vector<ResourceSeen> was, is;
    if (!ResourcesRead(before, old, &was) || !ResourcesRead(after, compact, &is) ||
        was.size() != is.size()) {
        return Fail(problem, "the resources changed");
    }
    for (size_t i = 0; i < was.size(); i++) {
        if (was[i].type != is[i].type || was[i].name != is[i].name ||
            was[i].language != is[i].language || was[i].data != is[i].data) {
            return Fail(problem, "the resources changed");
        }
    }
    return true;
}

} // namespace

bool ImageCompact(const Bytes &bytes, Bytes *out, std::string *problem) {
    Image image;
    if (!ImageRead(bytes, &image, problem)) {
        return false;
    }
    const size_t count = image.sections.size();
    PeSpan certificates;
    if (PeCertificateTableGet(&image.pe, &certificates)) {
        return Fail(problem, "it is signed");
    }
    if (count < 3 || strcmp(image.sections[count - 2].name, ".rsrc") != 0 ||
        strcmp(image.sections[count - 1].name, ".reloc") != 0) {
        return Fail(problem, "it does not end in a .rsrc and a .reloc section");
    }
    const PeSection &data = image.sections[count - 3];
    const PeSection &resources = image.sections[count - 2];
    const PeSection &relocations = image.sections[count - 1];
    uint32_t characteristics = 0;
    PeReadU32(&image.pe, data.headerOffset + 36, &characteristics);
    if (!(characteristics & kScnInitializedData) || data.rawSize == 0 ||
        data.virtualSize > data.rawSize || resources.virtualSize > resources.rawSize ||
        relocations.virtualSize > relocations.rawSize) {
        return Fail(problem, "the sections in front of its relocations are not laid out as linked");
    }
    // Where resources and relocations go, and what every data directory
    // entry names: only those two may point into what moves.
    const uint32_t movedFrom = resources.virtualAddress;
    const uint32_t movedTo = relocations.virtualAddress + relocations.virtualSize;
    const uint32_t resourceRva = AlignUp(data.virtualAddress + data.virtualSize, 8);
    const uint32_t relocationRva = AlignUp(resourceRva + resources.virtualSize, 4);
    const uint32_t dataSize = relocationRva + relocations.virtualSize - data.virtualAddress;
    PeDataDirectory directories[16];
    for (uint32_t i = 0; i < image.pe.directoryCount && i < 16; i++) {
        PeDataDirectoryGet(&image.pe, i, &directories[i]);
        const PeDataDirectory &entry = directories[i];
        bool moves = entry.size != 0 && entry.address < movedTo &&
                     entry.address + uint64_t(entry.size) > movedFrom;
        bool inside =
            i == PE_DIRECTORY_RESOURCE
                ? entry.address >= movedFrom && entry.address + uint64_t(entry.size) <=
                                                    resources.virtualAddress + resources.virtualSize
                : entry.address >= relocations.virtualAddress &&
                      entry.address + uint64_t(entry.size) <= movedTo;
        bool expected = i == PE_DIRECTORY_RESOURCE || i == kDirectoryRelocations;
        if (moves && (!expected || !inside)) {
            return Fail(problem, "data directory " + std::to_string(i) +
                                     " points into the sections that move");
        }
    }
    Bytes mapped = ImageMapped(bytes, image);
    if (image.pe.directoryCount <= kDirectoryRelocations ||
        !RelocationsAvoid(mapped, image, directories[kDirectoryRelocations].address,
                          directories[kDirectoryRelocations].size, movedFrom, movedTo, problem)) {
        return problem->empty() ? Fail(problem, "it has no relocations") : false;
    }
    std::vector<ResourceSeen> resourcesSeen;
    if (!ResourcesRead(bytes, image, &resourcesSeen)) {
        return Fail(problem, "its resource tree is malformed");
    }

    // Headers: the DOS header, the exit program, then the PE headers and
    // the table of the sections that stay.
    const uint32_t oldPe = image.pe.optionalHeaderOffset - kNtHeadersBeforeOptional;
    const uint32_t optionalSize = image.pe.optionalHeaderSize;
    const uint32_t kept = uint32_t(count - 2);
    const uint32_t headersEnd =
        kNewPeHeaders + kNtHeadersBeforeOptional + optionalSize + kept * PE_SECTION_HEADER_SIZE;
    const uint32_t headersSize = AlignUp(headersEnd, kFileAlignment);
    Bytes result(headersSize, 0);
    std::copy_n(bytes.begin(), kDosProgram, result.begin());
    Store(&result, kDosPePointer, kNewPeHeaders, 4);
    std::copy(std::begin(kDosExit), std::end(kDosExit), result.begin() + kDosProgram);
    std::copy_n(bytes.begin() + oldPe, headersEnd - kNewPeHeaders, result.begin() + kNewPeHeaders);
    const uint32_t shift = kNewPeHeaders - oldPe;
    const uint32_t optional = image.pe.optionalHeaderOffset + shift;

    // Sections: raw data one after the other; the data section followed by
    // the resources and relocations at their new addresses.
    uint32_t resourceOffset = 0;
    uint32_t initializedData = 0;
    for (uint32_t i = 0; i < kept; i++) {
        const PeSection &section = image.sections[i];
        const uint32_t header = section.headerOffset + shift;
        uint32_t rawSize = section.rawSize;
        uint32_t at = uint32_t(result.size());
        if (rawSize != 0) {
            Bytes own(bytes.begin() + section.rawOffset,
                      bytes.begin() + section.rawOffset + section.rawSize);
            if (i == kept - 1) {
                own.resize(dataSize, 0);
                std::copy_n(bytes.begin() + resources.rawOffset, resources.virtualSize,
                            own.begin() + (resourceRva - data.virtualAddress));
                std::copy_n(bytes.begin() + relocations.rawOffset, relocations.virtualSize,
                            own.begin() + (relocationRva - data.virtualAddress));
                resourceOffset = at + (resourceRva - data.virtualAddress);
                rawSize = AlignUp(dataSize, kFileAlignment);
                Store(&result, header + 8, dataSize, 4); // VirtualSize
                memcpy(&result[header], ".data\0\0\0", 8);
            }
            own.resize(rawSize, 0);
            result.insert(result.end(), own.begin(), own.end());
            Store(&result, header + 16, rawSize, 4);
            Store(&result, header + 20, at, 4);
        }
        uint32_t flags = Load32(result, header + 36);
        if (flags & kScnInitializedData) {
            initializedData += rawSize;
        }
    }
    for (const ResourceSeen &resource : resourcesSeen) {
        if (resource.dataEntryOffset < resources.rawOffset ||
            resource.dataEntryOffset - resources.rawOffset + PE_RESOURCE_DATA_ENTRY_SIZE >
                resources.virtualSize ||
            resource.dataRva < movedFrom ||
            resource.dataRva + uint64_t(resource.dataSize) >
                resources.virtualAddress + resources.virtualSize) {
            return Fail(problem, "a resource or its data lies outside the resource section");
        }
        uint32_t entry = resourceOffset + (resource.dataEntryOffset - resources.rawOffset);
        Store(&result, entry, resource.dataRva - resources.virtualAddress + resourceRva, 4);
    }
    const uint32_t directoryTable = image.pe.directoryTableOffset + shift;
    Store(&result, directoryTable + PE_DIRECTORY_RESOURCE * PE_DIRECTORY_ENTRY_SIZE,
          directories[PE_DIRECTORY_RESOURCE].address - resources.virtualAddress + resourceRva, 4);
    Store(&result, directoryTable + kDirectoryRelocations * PE_DIRECTORY_ENTRY_SIZE,
          directories[kDirectoryRelocations].address - relocations.virtualAddress + relocationRva,
          4);
    Store(&result, kNewPeHeaders + kSectionCountField, kept, 2);
    Store(&result, optional + PE_SIZE_OF_HEADERS_FIELD, headersSize, 4);
    Store(&result, optional + PE_SIZE_OF_IMAGE_FIELD,
          AlignUp(data.virtualAddress + dataSize, kSectionAlignment), 4);
    Store(&result, optional + PE_SIZE_OF_INITIALIZED_DATA_FIELD, initializedData, 4);
    Store(&result, optional + PE_CHECKSUM_FIELD, 0, 4);
    Store(&result, optional + PE_CHECKSUM_FIELD,
          ImageChecksum(result, optional + PE_CHECKSUM_FIELD), 4);

    if (!CompactCheck(bytes, image, result, relocationRva, relocations.virtualSize, problem)) {
        return false;
    }
    out->swap(result);
    return true;
}
