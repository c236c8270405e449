#include "RemoteConfig.h"

#include "config/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

namespace
{
constexpr std::size_t kMaxValueBytes = 4096;
constexpr std::size_t kMaxSiteBytes = 64;
constexpr std::size_t kMaxPrefixBytes = 128;
constexpr std::size_t kMaxPasswordBytes = 1024;

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool ParseBool(std::string_view text, bool& value)
{
    const std::string word = Lower(text);
    if (word == "true" || word == "yes" || word == "on" || word == "1")
        value = true;
    else if (word == "false" || word == "no" || word == "off" || word == "0")
        value = false;
    else
        return false;
    return true;
}

bool ParseInt(std::string_view text, int low, int high, int& value)
{
    int parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Levels of name characters joined by single slashes: no wildcard, no empty level, nothing
// a subscriber's filter could read differently.
bool IsValidPrefix(std::string_view prefix)
{
    if (prefix.empty() || prefix.size() > kMaxPrefixBytes || prefix.front() == '/' || prefix.back() == '/')
        return false;
    char previous = '/';
    for (char c : prefix)
    {
        if (c == '/' ? previous == '/' : !IsNameChar(c))
            return false;
        previous = c;
    }
    return true;
}

bool HasControlChar(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    return false;
}

std::string LineError(int line, const std::string& what)
{
    return std::string(CRemoteConfig::kFileName) + " line " + std::to_string(line) + ": " + what;
}

std::string Quoted(std::string_view text)
{
    std::string shown;
    for (char c : text.substr(0, 64))
        shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    return "\"" + shown + (text.size() > 64 ? "...\"" : "\"");
}

std::string Resolve(const std::string& folder, const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    return folder + "/" + path;
}
}

bool IsValidSiteName(std::string_view site)
{
    if (site.empty() || site.size() > kMaxSiteBytes)
        return false;
    for (char c : site)
        if (!IsNameChar(c))
            return false;
    return true;
}

std::string DefaultSiteName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    std::string site;
    for (const char* p = host; *p != '\0' && *p != '.' && site.size() < kMaxSiteBytes; ++p)
        site += IsNameChar(*p) ? *p : '-';
    return site.empty() ? std::string("quillmere") : site;
}

CRemoteConfigResult ParseRemoteConfig(std::string_view text, const std::string& defaultSite)
{
    CRemoteConfigResult result;
    CRemoteConfig& config = result.Config;
    auto fail = [&result](int line, const std::string& what) {
        result.State = RemoteConfigState::Invalid;
        result.Error = LineError(line, what);
        return result;
    };

    std::set<std::string> seen;
    int certLine = 0;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        // A '#' after a blank starts a comment too, so values can be explained on their line.
        for (std::size_t hash = line.find('#'); hash != std::string_view::npos; hash = line.find('#', hash + 1))
        {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t')
            {
                line = line.substr(0, hash);
                break;
            }
        }
        line = Trim(line);
        ++lineNumber;
        start = end + 1;
        if (line.empty())
            continue;

        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return fail(lineNumber, "expected \"key = value\", found " + Quoted(line));
        const std::string key = Lower(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (key.empty())
            return fail(lineNumber, "a value without a key");
        if (value.size() > kMaxValueBytes || HasControlChar(value))
            return fail(lineNumber, "the value of " + key + " is too long or holds control characters");
        if (!seen.insert(key).second)
            return fail(lineNumber, key + " is given twice");

        bool ok = true;
        if (key == "enabled")
            ok = ParseBool(value, config.Enabled);
        else if (key == "host")
        {
            config.Host = std::string(value);
            ok = value.find_first_of(" \t") == std::string_view::npos;
        }
        else if (key == "port")
            ok = ParseInt(value, 1, 65535, config.Port);
        else if (key == "site")
        {
            config.Site = std::string(value);
            ok = IsValidSiteName(value);
        }
        else if (key == "prefix")
        {
            config.Prefix = std::string(value);
            ok = IsValidPrefix(value);
        }
        else if (key == "keepalive")
            ok = ParseInt(value, 5, 65535, config.KeepAlive);
        else if (key == "ca_file")
        {
            config.CaFile = std::string(value);
            result.CaFileLine = lineNumber;
        }
        else if (key == "cert_file")
        {
            config.CertFile = std::string(value);
            certLine = lineNumber;
            result.CertFileLine = lineNumber;
        }
        else if (key == "key_file")
        {
            config.KeyFile = std::string(value);
            certLine = certLine != 0 ? certLine : lineNumber;
            result.KeyFileLine = lineNumber;
        }
        else if (key == "tls_verify")
            ok = ParseBool(value, config.TlsVerify);
        else if (key == "username")
            config.Username = std::string(value);
        else if (key == "password_file")
        {
            config.PasswordFile = std::string(value);
            result.PasswordFileLine = lineNumber;
            ok = !value.empty();
        }
        else if (key == "commands")
            ok = ParseBool(value, config.Commands);
        else if (key == "discovery")
            ok = ParseBool(value, config.Discovery);
        else if (key == "discovery_prefix")
        {
            config.DiscoveryPrefix = std::string(value);
            ok = IsValidPrefix(value);
        }
        else
            return fail(lineNumber, "unknown key " + Quoted(key));
        if (!ok)
            return fail(lineNumber, "bad value " + Quoted(value) + " for " + key);
    }

    if (config.Site.empty())
        config.Site = defaultSite;
    if (!config.Enabled)
    {
        result.State = RemoteConfigState::Disabled;
        return result;
    }
    if (config.Host.empty())
        return fail(lineNumber, "enabled = true needs a host");
    if (config.CertFile.empty() != config.KeyFile.empty())
        return fail(certLine, "cert_file and key_file go together");
    if (!config.CertFile.empty() && !config.UsesTls())
        return fail(certLine, "cert_file and key_file need ca_file");
    if (!config.PasswordFile.empty() && config.Username.empty())
        return fail(result.PasswordFileLine, "password_file needs a username");
    if (!IsValidSiteName(config.Site))
        return fail(lineNumber, "no site given and the host name " + Quoted(config.Site) + " is no site name");
    result.State = RemoteConfigState::Enabled;
    return result;
}

CRemoteConfigResult LoadRemoteConfig(const std::string& folder)
{
    CRemoteConfigResult result;
    const std::string path = folder + "/" + CRemoteConfig::kFileName;
    struct stat probe{};
    if (::stat(path.c_str(), &probe) != 0 && errno == ENOENT)
        return result;   // Absent

    std::string text, error;
    if (!ReadRegularFile(path, CRemoteConfig::kMaxFileBytes, text, &error))
    {
        result.State = RemoteConfigState::Invalid;
        result.Error = std::string(CRemoteConfig::kFileName) + " cannot be read: " + error;
        return result;
    }
    result = ParseRemoteConfig(text, DefaultSiteName());
    if (result.State != RemoteConfigState::Enabled)
        return result;

    CRemoteConfig& config = result.Config;
    config.CaFile = Resolve(folder, config.CaFile);
    config.CertFile = Resolve(folder, config.CertFile);
    config.KeyFile = Resolve(folder, config.KeyFile);
    config.PasswordFile = Resolve(folder, config.PasswordFile);
    const struct
    {
        const char* key;
        const std::string& path;
        int line;
    } tlsFiles[] = {{"ca_file", config.CaFile, result.CaFileLine},
                    {"cert_file", config.CertFile, result.CertFileLine},
                    {"key_file", config.KeyFile, result.KeyFileLine}};
    for (const auto& file : tlsFiles)
    {
        std::string content;
        if (!file.path.empty() && !ReadRegularFile(file.path, CRemoteConfig::kMaxTlsFileBytes, content, &error))
        {
            result.State = RemoteConfigState::Invalid;
            result.Error = LineError(file.line, std::string(file.key) + " " + Quoted(file.path) +
                                                    " cannot be read: " + error);
            return result;
        }
    }
    if (config.PasswordFile.empty())
        return result;

    struct stat info{};
    std::string secret;
    if (!ReadRegularFile(config.PasswordFile, kMaxPasswordBytes, secret, &error, &info))
    {
        result.State = RemoteConfigState::Invalid;
        result.Error = LineError(result.PasswordFileLine,
                                 "password_file " + Quoted(config.PasswordFile) + " cannot be read: " + error);
        return result;
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    {
        result.State = RemoteConfigState::Invalid;
        result.Error = LineError(result.PasswordFileLine, "password_file " + Quoted(config.PasswordFile) +
                                                              " can be read by group or others (chmod 600 it)");
        return result;
    }
    const auto lineEnd = secret.find_first_of("\r\n");
    config.Password = secret.substr(0, lineEnd);
    return result;
}
