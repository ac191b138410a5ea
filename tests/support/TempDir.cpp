#include "TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

TempDir::TempDir()
{
    char pattern[] = "/tmp/serial-tcp-test-XXXXXX";
    if (::mkdtemp(pattern))
        m_path = pattern;
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
