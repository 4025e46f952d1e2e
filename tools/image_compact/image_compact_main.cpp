// The post-link step of the small programs (cmake/small_program.cmake):
//
//   image_compact PROGRAM   rewrites PROGRAM as ImageCompact folds it; on
//                           failure it says why and removes PROGRAM, so
//                           that the next build links it again instead of
//                           shipping it unfolded.
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "image_compact/image_compact.h"

namespace {

bool FileRead(const std::string &path, Bytes *bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad() && in.is_open();
}

bool FileWrite(const std::string &path, const Bytes &bytes) {
    std::string temporary = path + ".compact";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        if (!out.good()) {
            return false;
        }
    }
    std::error_code ignored; // the program keeps its mode (executable)
    std::filesystem::permissions(temporary, std::filesystem::status(path).permissions(), ignored);
    return rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: image_compact PROGRAM\n");
        return 2;
    }
    std::string path = argv[1], problem;
    Bytes bytes, compact;
    if (!FileRead(path, &bytes)) {
        problem = "it cannot be read";
    } else if (ImageCompact(bytes, &compact, &problem) && FileWrite(path, compact)) {
        return 0;
    } else if (problem.empty()) {
        problem = "it cannot be written";
    }
    fprintf(stderr, "image_compact: %s: %s; removed, so that it is linked again\n", path.c_str(),
            problem.c_str());
    remove(path.c_str());
    return 1;
}
