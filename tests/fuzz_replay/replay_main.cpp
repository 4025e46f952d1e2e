// Runs a fuzz target's entry point once over every file of the folders (or
// files) named on the command line, so that the seed corpora run under the
// sanitizers in every test run, not only when the fuzzers do. Each input is
// copied into a block of exactly its size, so that a read one byte past it
// is seen.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static bool ReadWhole(const std::string &path, std::vector<uint8_t> *bytes) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    bytes->clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    fclose(file);
    return true;
}

static void ListInputs(const std::string &path, std::vector<std::string> *inputs) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return;
    if (!S_ISDIR(status.st_mode)) {
        inputs->push_back(path);
        return;
    }
    DIR *folder = opendir(path.c_str());
    if (folder == nullptr)
        return;
    while (struct dirent *entry = readdir(folder)) {
        if (entry->d_name[0] != '.')
            ListInputs(path + "/" + entry->d_name, inputs);
    }
    closedir(folder);
}

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++)
        ListInputs(argv[i], &inputs);
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    for (const std::string &input : inputs) {
        std::vector<uint8_t> bytes;
        if (!ReadWhole(input, &bytes)) {
            fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 1;
        }
        // An exact-size block, never the vector's spare capacity.
        uint8_t *exact = new uint8_t[bytes.size() ? bytes.size() : 1];
        std::copy(bytes.begin(), bytes.end(), exact);
        LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : exact, bytes.size());
        delete[] exact;
    }
    printf("replay: %zu inputs\n", inputs.size());
    return 0;
}
