#include "TempDataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/DataFolder.h"

TempDataFolder::TempDataFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
    if (const char* v = std::getenv("XDG_DATA_HOME"))
    {
        m_hadDataHome = true;
        m_oldDataHome = v;
    }
    if (const char* v = std::getenv("XDG_RUNTIME_DIR"))
    {
        m_hadRuntimeDir = true;
        m_oldRuntimeDir = v;
    }
    setenv("XDG_DATA_HOME", m_root.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
}

TempDataFolder::~TempDataFolder()
{
    if (m_hadDataHome)
        setenv("XDG_DATA_HOME", m_oldDataHome.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    if (m_hadRuntimeDir)
        setenv("XDG_RUNTIME_DIR", m_oldRuntimeDir.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    // A test may have made folders read-only; give write access back before removing.
    for (auto& entry : std::filesystem::recursive_directory_iterator(m_root, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_root, ignored);
}

std::string TempDataFolder::DataFolder() const
{
    return GetDataFolder();
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
