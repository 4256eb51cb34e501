// Replays files through a fuzz target without libFuzzer: every file named, and every file
// below every folder named, is read and handed to LLVMFuzzerTestOneInput once. A crash or
// a broken invariant ends the process (the target aborts); a folder that does not exist
// is skipped, so a target without kept crash inputs yet still runs its seeds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 0;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<fs::path> files;
            for (const auto &e : fs::recursive_directory_iterator(p, ec))
                if (e.is_regular_file())
                    files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const fs::path &f : files)
                count += replay(f);
        } else if (fs::is_regular_file(p, ec)) {
            count += replay(p);
        }
    }
    std::printf("%d inputs replayed\n", count);
    // Nothing to replay means the seeds were not found: that hides every fault.
    return count > 0 ? 0 : 1;
}
