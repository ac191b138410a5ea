#include "TempDir.h"

#include <fstream>
#include <random>
#include <sstream>

TempDir::TempDir()
{
    // A name nobody else has taken: creating the directory is the test.
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    do
        m_path = base / ("serial-tcp-test-" + std::to_string(random() % 1000000000));
    while (!std::filesystem::create_directory(m_path));
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(m_path);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

std::string FileBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}
