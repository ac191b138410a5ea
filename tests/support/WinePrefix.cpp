#include "WinePrefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

namespace
{
const char kWine[] = "/usr/lib/wine/wine64";
const char kWineServer[] = "/usr/lib/wine/wineserver";
// No Mono or Gecko installer offered, and nothing printed but the program's own.
const char* const kQuietEnvironment[] = {"WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
const char* const kRegistryFiles[] = {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"};

// The shared Windows system, made once per build under a lock, as parallel
// tests may ask for it at the same moment.
bool EnsureTemplate(const std::filesystem::path& path)
{
    const int lock = ::open((path.string() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        return false;
    bool ok = std::filesystem::exists(path / ".update-timestamp");
    if (!ok)
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
        const std::string prefix = "WINEPREFIX='" + path.string() + "' ";
        std::string quiet;
        for (const char* setting : kQuietEnvironment)
            quiet += setting + std::string(" ");
        ok = std::system((prefix + quiet + kWine + " wineboot -i >/dev/null 2>&1").c_str()) == 0 &&
             std::system((prefix + kWineServer + " -w").c_str()) == 0 &&
             std::filesystem::exists(path / ".update-timestamp");
    }
    ::close(lock);
    return ok;
}
} // namespace

WinePrefix::WinePrefix()
{
    const std::filesystem::path templatePath = WINE_TEMPLATE_PREFIX;
    if (!EnsureTemplate(templatePath))
        return;
    std::random_device seed;
    std::mt19937_64 random(seed());
    do
        m_path = std::filesystem::temp_directory_path() / ("wine-test-" + std::to_string(random() % 1000000000));
    while (!std::filesystem::create_directory(m_path));

    std::error_code error;
    for (const char* file : kRegistryFiles)
        std::filesystem::copy_file(templatePath / file, m_path / file, error);
    std::filesystem::create_directory(m_path / "dosdevices", error);
    std::filesystem::create_directory_symlink(templatePath / "drive_c", m_path / "drive_c", error);
    std::filesystem::create_directory_symlink(templatePath / "drive_c", m_path / "dosdevices" / "c:", error);
    std::filesystem::create_directory_symlink("/", m_path / "dosdevices" / "z:", error);
    m_ok = !error;
}

WinePrefix::~WinePrefix()
{
    if (m_path.empty())
        return;
    if (m_ok)
    {
        const std::string command = "WINEPREFIX='" + m_path.string() + "' " + kWineServer + " -k >/dev/null 2>&1";
        [[maybe_unused]] int ignored = std::system(command.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void WinePrefix::MapComPort(unsigned number, const std::string& devicePath)
{
    // Wine reads its port map when its server starts, and lists each mapped
    // port in the registry where Windows programs look for serial ports.
    std::ofstream(m_path / "system.reg", std::ios::app)
        << "\n[Software\\\\Wine\\\\Ports] 1700000000\n\"COM" << number << "\"=\"" << devicePath << "\"\n";
}

void WinePrefix::RemapComPort(unsigned number, const std::string& devicePath)
{
    const std::filesystem::path link = m_path / "dosdevices" / ("com" + std::to_string(number));
    const std::filesystem::path fresh = link.string() + ".new";
    std::error_code ignored;
    std::filesystem::remove(fresh, ignored);
    std::filesystem::create_symlink(devicePath, fresh, ignored);
    std::filesystem::rename(fresh, link, ignored);
}

ChildProcess WinePrefix::Start(const std::string& program, const std::vector<std::string>& arguments,
                               const std::string& directory, const std::vector<std::string>& environment) const
{
    std::vector<std::string> command{"WINEPREFIX=" + m_path.string()};
    command.insert(command.end(), std::begin(kQuietEnvironment), std::end(kQuietEnvironment));
    command.insert(command.end(), environment.begin(), environment.end());
    command.push_back(kWine);
    command.push_back(program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return ChildProcess("/usr/bin/env", command, directory);
}
