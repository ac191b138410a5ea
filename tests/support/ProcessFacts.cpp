#include "ProcessFacts.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

int OpenDescriptors()
{
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    while (::readdir(fds))
        ++count;
    ::closedir(fds);
    return count;
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
    {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

double OtherThreadsCpuSeconds()
{
    double total = 0;
    const std::string self = std::to_string(::getpid());
    DIR* tasks = ::opendir("/proc/self/task");
    while (const dirent* entry = ::readdir(tasks))
    {
        const std::string id = entry->d_name;
        if (id == "." || id == ".." || id == self)
            continue;
        std::ifstream stat("/proc/self/task/" + id + "/stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::vector<std::string> values;
        for (std::string value; fields >> value;)
            values.push_back(value);
        if (values.size() > 12)
            total += (std::stod(values[11]) + std::stod(values[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    ::closedir(tasks);
    return total;
}

double ThisThreadCpuSeconds()
{
    timespec used{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}
