#pragma once

#include <string>

// A fresh temporary folder that XDG_DATA_HOME and XDG_RUNTIME_DIR point at while the
// object lives; removed with everything in it afterwards.
class TempDataFolder
{
public:
    TempDataFolder();
    ~TempDataFolder();
    TempDataFolder(const TempDataFolder&) = delete;
    TempDataFolder& operator=(const TempDataFolder&) = delete;

    const std::string& Root() const { return m_root; }
    std::string DataFolder() const;   // where the program keeps settings.xml and its log

private:
    std::string m_root;
    std::string m_oldDataHome;
    std::string m_oldRuntimeDir;
    bool m_hadDataHome = false;
    bool m_hadRuntimeDir = false;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
