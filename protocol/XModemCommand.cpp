#include "XModemCommand.h"

bool CXModemCommand::SetFilePath(const std::string& path)
{
    if (path.size() <= MaxPathBytes)
    {
        m_filePath = path;
        return true;
    }
    std::size_t cut = MaxPathBytes;
    // Step back over UTF-8 continuation bytes so the stored text stays valid.
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80)
        --cut;
    m_filePath = path.substr(0, cut);
    return false;
}
