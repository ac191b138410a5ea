#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// A fresh directory that the test works in: the process's working directory
// while it lives, removed with everything in it afterwards.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};

// The bytes of a file, empty when it cannot be read.
std::string FileBytes(const std::filesystem::path& file);

// How often part occurs in text, such as a line in a log.
std::size_t CountOf(const std::string& text, const std::string& part);
