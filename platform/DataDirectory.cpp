#include "platform/DataDirectory.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr const char* DATA_FOLDER = "Veltra_Data";
}

std::string dataDirectory()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return executableDirectory();
    std::string directory = home;
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    if (directory != "/")
        directory += '/';
    directory += DATA_FOLDER;
    // Usually exists already; a real failure shows up later as a failed file write.
    mkdir(directory.c_str(), 0755);
    return directory;
}

std::string executableDirectory()
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof buffer))
        return ".";
    std::string path(buffer, static_cast<size_t>(length));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace platform
