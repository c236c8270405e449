#include "DirectoryTree.h"

#include <cerrno>
#include <sys/stat.h>

bool DirectoryExists(const std::string& path)
{
    struct stat info{};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDirectoryTree(const std::string& path)
{
    if (DirectoryExists(path))
        return true;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed.empty())
        return false;

    // Each prefix that ends before a slash, then the whole path.
    std::size_t pos = trimmed.find_first_not_of('/');
    while (pos != std::string::npos)
    {
        pos = trimmed.find('/', pos);
        const std::string prefix = trimmed.substr(0, pos);
        if (!DirectoryExists(prefix))
        {
            // Another process may create the same folder at the same moment.
            if (mkdir(prefix.c_str(), 0755) != 0 && !(errno == EEXIST && DirectoryExists(prefix)))
                return false;
        }
        if (pos != std::string::npos)
            pos = trimmed.find_first_not_of('/', pos);
    }
    return true;
}
