#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// How this site reaches its operators' broker: mqtt.conf beside settings.xml, lines of
// "key = value" with "#" comment lines. Kept out of the settings document so that the
// settings file stays exactly what it was for sites that never use a broker.
class CRemoteConfig
{
public:
    static constexpr const char* kFileName = "mqtt.conf";
    static constexpr int kDefaultPort = 1883;
    static constexpr int kDefaultTlsPort = 8883;
    static constexpr std::size_t kMaxFileBytes = 64 * 1024;
    // ca_file may be a whole bundle of authorities.
    static constexpr std::size_t kMaxTlsFileBytes = 1024 * 1024;

    bool Enabled = false;
    std::string Host;
    int Port = 0;   // 0: the default for the transport
    std::string Site;
    std::string Prefix = "quillmere";
    int KeepAlive = 60;
    std::string CaFile;
    std::string CertFile;
    std::string KeyFile;
    bool TlsVerify = true;
    std::string Username;
    std::string PasswordFile;
    std::string Password;   // read from PasswordFile, never from mqtt.conf itself
    bool Commands = false;
    bool Discovery = false;
    std::string DiscoveryPrefix = "homeassistant";   // where Home Assistant looks for entities

    bool UsesTls() const { return !CaFile.empty(); }
    int EffectivePort() const { return Port != 0 ? Port : (UsesTls() ? kDefaultTlsPort : kDefaultPort); }
    // "<prefix>/<site>", the root of every topic of this site.
    std::string BaseTopic() const { return Prefix + "/" + Site; }

    // Whether a file read again asks for another connection.
    bool operator==(const CRemoteConfig&) const = default;
};

enum class RemoteConfigState
{
    Absent,     // no file: nothing runs, nothing is logged
    Disabled,   // enabled = false
    Enabled,
    Invalid,    // Error says which key on which line
};

struct CRemoteConfigResult
{
    RemoteConfigState State = RemoteConfigState::Absent;
    CRemoteConfig Config;
    std::string Error;
    int PasswordFileLine = 0;   // where password_file was given, for the reader's messages
    int CaFileLine = 0;         // where ca_file, cert_file and key_file were given
    int CertFileLine = 0;
    int KeyFileLine = 0;
};

// Letters, digits, '-' and '_', 1 to 64 of them.
bool IsValidSiteName(std::string_view site);
// The machine's host name up to its first dot, made fit for a topic level.
std::string DefaultSiteName();

// The text of a file. Relative file names stay as written; LoadRemoteConfig resolves them.
CRemoteConfigResult ParseRemoteConfig(std::string_view text, const std::string& defaultSite);

// The file in folder: absent, or parsed, with relative file names taken from folder and the
// password read from its file, which must not be readable by group or others. Every file it
// names goes through the small-file reader first (a FIFO, a folder, a device or an oversized
// file is refused at once, naming it), so that the broker library never opens one that
// would hang it.
CRemoteConfigResult LoadRemoteConfig(const std::string& folder);
