// Feeds every file of the given folders (or the given files) to the fuzz
// target once, so that the corpus runs as an ordinary test without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadInput(const std::string& path, std::vector<uint8_t>* content)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    content->clear();
    uint8_t buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        content->insert(content->end(), buffer, buffer + count);
    fclose(file);
    return true;
}

void AddInputs(const std::string& path, std::vector<std::string>* inputs)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        inputs->push_back(path);
        return;
    }
    std::vector<std::string> names;
    if (DIR* folder = opendir(path.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] != '.')
                names.push_back(path + "/" + entry->d_name);
        }
        closedir(folder);
    }
    std::sort(names.begin(), names.end());
    inputs->insert(inputs->end(), names.begin(), names.end());
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i)
        AddInputs(argv[i], &inputs);
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s corpus-folder-or-file...\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> content;
    for (const std::string& input : inputs) {
        if (!ReadInput(input, &content)) {
            fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        fprintf(stderr, "%s\n", input.c_str());
        LLVMFuzzerTestOneInput(content.data(), content.size());
    }
    fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
