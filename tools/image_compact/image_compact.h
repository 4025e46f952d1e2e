// Makes a linked small program smaller on disk without changing what is
// loaded. The linker gives every section its own run of 512-byte file
// blocks and the headers two blocks (its DOS stub pushes the section table
// past the first): for a program of 32 KiB that is about 2 KiB of padding.
// ImageCompact, run on the stub and the uninstaller right after linking:
//
//   - folds the trailing resource and relocation sections into the data
//     section in front of them: their bytes follow the data's, the resource
//     tree's data entries and the two data directory entries are moved with
//     them, the section is named .data, and the section table loses two
//     headers;
//   - puts the PE headers at 0x48, behind a DOS program of five bytes that
//     only exits, so that the headers fit one block and still leave room for
//     the section qpack adds when it brands an installer.
//
// Nothing else moves: code, imports and data keep their addresses, so no
// instruction and no relocation changes.
#pragma once

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// Writes the folded image of bytes into *out. The image must be a PE32
// image with 4 KiB sections and 512-byte file blocks, unsigned, ending in
// an initialized-data section, ".rsrc" and ".reloc", with no address held
// by code or data and no data directory but the resources' and the
// relocations' pointing into those two. The result is checked against the
// input before it is given: the same sections at the same addresses with
// the same bytes, the same resources, the same relocations. False with the
// reason in *problem (and *out unchanged) otherwise.
bool ImageCompact(const Bytes &bytes, Bytes *out, std::string *problem);
