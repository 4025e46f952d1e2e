// Two ways of putting a stranger's package into a signed installer without
// touching a byte that its signature covers, made for the tests from any
// signed file and a donor installer whose package is taken:
//
//   appended:     the donor's directory and entry streams behind the signed
//                 file, closed by a trailer whose sum covers all before it;
//   inside table: the same behind zeros that keep the table's length a
//                 multiple of 8, with the certificate entry's size and the
//                 first record's dwLength enlarged to cover it: a signature
//                 check that skips the table (Authenticode's hash does)
//                 still passes.
#pragma once

#include <stdint.h>

#include <vector>

#include "bitmap_bytes.h" // PutLittleEndian
#include "package/package.h"
#include "pe/pe.h"
#include "qpack/package_writer.h"

// Makes the attack on signedFile with donor's package into *attack. False
// when the donor's package or the signed file's certificate entry cannot be
// found.
inline bool SignedAttackMake(const std::vector<unsigned char> &signedFile,
                             const std::vector<unsigned char> &donor, bool insideTable,
                             std::vector<unsigned char> *attack) {
    PackageLocation location;
    PackageTrailer trailer;
    PeImage image;
    PeDataDirectory entry;
    if (!PackageLocate(donor.data(), static_cast<uint32_t>(donor.size()), &location) ||
        !PackageTrailerDecode(donor.data() + location.trailerOffset, &trailer) ||
        !PeImageRead(signedFile.data(), static_cast<uint32_t>(signedFile.size()), &image) ||
        !PeDataDirectoryGet(&image, PE_DIRECTORY_CERTIFICATE, &entry) || entry.size < 8) {
        return false;
    }
    const size_t body = location.trailerOffset - trailer.directoryOffset;
    *attack = signedFile;
    if (insideTable) { // zeros so that the enlarged table's length is a multiple of 8
        size_t tableEnd = attack->size() + body + PACKAGE_TRAILER_SIZE - entry.address;
        attack->resize(attack->size() + (8 - tableEnd % 8) % 8, 0);
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(attack->size());
    attack->insert(attack->end(), donor.begin() + trailer.directoryOffset,
                   donor.begin() + location.trailerOffset);
    if (insideTable) {
        uint32_t added =
            static_cast<uint32_t>(attack->size() + PACKAGE_TRAILER_SIZE - signedFile.size());
        PutLittleEndian(attack, entry.entryOffset + 4, entry.size + added, 4);
        uint32_t dwLength = 0;
        for (int i = 3; i >= 0; i--)
            dwLength = dwLength << 8 | signedFile[entry.address + i];
        PutLittleEndian(attack, entry.address, dwLength + added, 4);
    }
    const uint32_t sum = PackageWriterByteSum(attack->data(), attack->size());
    const uint32_t fields[4] = {directoryOffset, trailer.directoryCompressedSize,
                                trailer.directorySize, sum};
    for (uint32_t field : fields)
        for (int i = 0; i < 4; i++)
            attack->push_back(static_cast<unsigned char>(field >> (8 * i)));
    attack->insert(attack->end(), PACKAGE_MAGIC, PACKAGE_MAGIC + 8);
    return true;
}
