// ambrel-make-bench-files FOLDER [NAME...] [--batch N]: writes the phone-like
// files the benchmarks convert (NAME: 12mp, 48mp, 200mp; default all three)
// as FOLDER/NAME.heic (NAME-avif: FOLDER/NAME-avif.avif, the 48 MP one a grid), and with --batch N a folder FOLDER/batch of N 12 MP
// files (four different photographs, repeated). Files already present are kept.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_files.h"
#include "tests/fixtures/hevc_encoder.h"

using namespace ambrel::heif;

namespace fs = std::filesystem;

namespace {

void writeIfMissing(const fs::path& path, const ambrelbench::PhoneFile& file, unsigned variant, bool avif = false)
{
    if (fs::exists(path)) {
        std::printf("%s (kept)\n", path.string().c_str());
        return;
    }
    const std::vector<std::uint8_t> bytes =
        avif ? ambrelbench::makePhoneAvif(file, file.name != "12mp") : ambrelbench::makePhoneHeic(file, variant);
    fixture::writeFileBytes(path.string() + ".part", bytes);
    fs::rename(path.string() + ".part", path);
    std::printf("%s\n", path.string().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ambrel-make-bench-files FOLDER [12mp|48mp|200mp...] [--batch N]\n");
        return 2;
    }
    try {
        const fs::path folder = argv[1];
        fs::create_directories(folder);
        std::vector<std::string> names;
        unsigned batch = 0;
        for (int i = 2; i < argc; ++i) {
            const std::string argument = argv[i];
            if (argument == "--batch" && i + 1 < argc) {
                batch = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            } else {
                names.push_back(argument);
            }
        }
        if (names.empty() && batch == 0) {
            for (const auto& file : ambrelbench::phoneFiles()) {
                names.push_back(file.name);
            }
        }
        const std::string avifSuffix = "-avif";
        for (const std::string& name : names) {
            if (name.size() > avifSuffix.size() && name.ends_with(avifSuffix)) {
                const std::string base = name.substr(0, name.size() - avifSuffix.size());
                writeIfMissing(folder / (name + ".avif"), ambrelbench::phoneFile(base), 0, true);
            } else {
                writeIfMissing(folder / (name + ".heic"), ambrelbench::phoneFile(name), 0);
            }
        }
        if (batch != 0) {
            const fs::path batchFolder = folder / "batch";
            fs::create_directories(batchFolder);
            constexpr unsigned kPhotographs = 4;
            for (unsigned i = 0; i < batch; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "photo-%02u.heic", i + 1);
                writeIfMissing(batchFolder / name, ambrelbench::phoneFile("12mp"), 1 + i % kPhotographs);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ambrel-make-bench-files: %s\n", error.what());
        return 1;
    }
    return 0;
}
