#include "TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <vector>

TempFolder::TempFolder()
{
#ifdef _WIN32
    // No mkdtemp: a random name until the system makes a new folder of it.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / ("vtd-test-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error))
            path_ = candidate.string();
    }
    if (path_.empty())
        throw std::runtime_error("no temporary folder could be made");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "vtd-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
#endif
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << bytes;
}
