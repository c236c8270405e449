// Arbitrary bytes as a settings file. Beyond not crashing, whatever loads must come back
// unchanged through the document it saves as: the file is the model's only memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "config/AppSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CAppSettings settings;
    if (!settings.LoadFromMemory(data, size))
        return 0;

    const std::string saved = settings.GetSettingsXml();

    CAppSettings reloaded;
    if (!reloaded.LoadFromText(saved) || reloaded.GetSettingsXml() != saved)
    {
        std::fprintf(stderr, "settings changed through a save and a load\n");
        std::abort();
    }
    return 0;
}
