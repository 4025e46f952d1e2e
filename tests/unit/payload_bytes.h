// Payload bytes for the package tests: text, random noise, and text-like
// bytes that compress well.
#pragma once

#include <string.h>

#include <random>
#include <string>

#include "qpack/package_writer.h"

inline PackageBytes Bytes(const std::string &text) {
    return PackageBytes(text.begin(), text.end());
}

inline PackageBytes RandomBytes(std::mt19937 &random, size_t size) {
    PackageBytes bytes(size);
    for (unsigned char &byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

// Text-like bytes that compress well, mixed with runs of zeros.
inline PackageBytes CompressibleBytes(std::mt19937 &random, size_t size) {
    static const char *const words[] = {"install ", "package ", "Quorvane ", "\r\n", "0000"};
    PackageBytes bytes;
    while (bytes.size() < size) {
        const char *word = words[random() % 5];
        bytes.insert(bytes.end(), word, word + strlen(word));
    }
    bytes.resize(size);
    return bytes;
}
