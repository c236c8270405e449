#include "DataFolder.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace
{
constexpr const char* kVendorFolder = "Velmarquet";
constexpr const char* kProductFolder = "Quillmere Monitor";

std::string& ChosenFolder()
{
    static std::string folder;
    return folder;
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return "/tmp";
}
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    if (folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

void SetDataFolder(const std::string& folder)
{
    std::string& chosen = ChosenFolder();
    chosen = folder;
    while (chosen.size() > 1 && chosen.back() == '/')
        chosen.pop_back();
}

std::string GetDataFolder()
{
    if (!ChosenFolder().empty())
        return ChosenFolder();
    std::string base;
    // The XDG rule: a relative XDG_DATA_HOME is invalid and ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
        base = xdg;
    else
        base = JoinPath(HomeFolder(), ".local/share");
    return JoinPath(JoinPath(base, kVendorFolder), kProductFolder);
}
