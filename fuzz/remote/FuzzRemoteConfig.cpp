// Arbitrary bytes as mqtt.conf. Beyond not crashing: a file is refused with a message that
// names a line, or what it gives is what the bridge can use as it stands.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "remote/RemoteConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CRemoteConfigResult result = ParseRemoteConfig(text, "fuzzhost");
    bool sound = true;
    if (result.State == RemoteConfigState::Invalid)
        sound = result.Error.rfind("mqtt.conf line ", 0) == 0;
    else if (result.State == RemoteConfigState::Enabled)
    {
        const CRemoteConfig& c = result.Config;
        sound = !c.Host.empty() && IsValidSiteName(c.Site) && c.EffectivePort() >= 1 && c.EffectivePort() <= 65535 &&
                c.KeepAlive >= 5 && !c.Prefix.empty() && c.BaseTopic().find_first_of("+#") == std::string::npos &&
                c.CertFile.empty() == c.KeyFile.empty();
    }
    if (!sound)
    {
        std::fprintf(stderr, "unsound configuration accepted\n");
        std::abort();
    }
    return 0;
}
