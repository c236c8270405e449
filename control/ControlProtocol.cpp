#include "ControlProtocol.h"

#include <cstdlib>

namespace
{
std::string RuntimeFolder(const char* name)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/')
        return {};
    return std::string(runtime) + "/" + name + "/" + kControlSocketName;
}
}

std::string ServiceControlSocketPath()
{
    if (const char* folders = std::getenv("RUNTIME_DIRECTORY"); folders != nullptr && folders[0] == '/')
    {
        std::string first(folders);
        first = first.substr(0, first.find(':'));
        return first + "/" + kControlSocketName;
    }
    return RuntimeFolder("quillmere-monitord");
}

std::string WindowControlSocketPath()
{
    return RuntimeFolder("quillmere-monitor");
}

std::vector<std::string> ControlSocketCandidates()
{
    std::vector<std::string> candidates{std::string("/run/quillmere-monitord/") + kControlSocketName};
    for (const std::string& path : {RuntimeFolder("quillmere-monitord"), WindowControlSocketPath()})
        if (!path.empty())
            candidates.push_back(path);
    return candidates;
}
