#include "SerialPortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <libserialport.h>
#include <set>
#include <sys/stat.h>

#include "core/DataFolder.h"

namespace
{
constexpr const char* kPortsFolder = "ports";
constexpr const char* kComPrefix = "COM";
// The serial port layer keeps a COM number in a short.
constexpr long kMaxComNumber = 32767;

int ParseCanonicalNumber(const std::string& digits, long maximum)
{
    if (digits.empty() || digits.size() > 9 || digits[0] == '0')
        return 0;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    const long value = std::strtol(digits.c_str(), nullptr, 10);
    return value >= 1 && value <= maximum ? static_cast<int>(value) : 0;
}

std::vector<int> ReadLinkNumbers(const std::string& folder)
{
    std::vector<int> numbers;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return numbers;
    while (const dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        const int number = CSerialPortList::ComNumberForName(name);
        if (number == 0)
            continue;
        // A dangling link is listed too: "Get Status" then says why the port cannot open,
        // which tells the operator more than a port that silently is not there.
        struct stat info{};
        if (lstat(JoinPath(folder, name).c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            numbers.push_back(number);
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}
}

std::vector<std::string> CSerialPortList::GetPortNames()
{
    return GetPortNames(JoinPath(GetDataFolder(), kPortsFolder), EnumerateDevices());
}

std::vector<std::string> CSerialPortList::GetPortNames(const std::string& linkFolder,
                                                       const std::vector<std::string>& devicePaths)
{
    // Links first, as they take precedence when the port is opened; then the devices in
    // number order. The limit applies to the whole, like the system's table of 20 values.
    std::vector<int> numbers = ReadLinkNumbers(linkFolder);
    std::vector<int> devices;
    for (const std::string& path : devicePaths)
    {
        if (const int number = ComNumberForDevice(path); number != 0)
            devices.push_back(number);
    }
    std::sort(devices.begin(), devices.end());
    numbers.insert(numbers.end(), devices.begin(), devices.end());

    std::vector<std::string> names;
    std::set<int> seen;
    for (const int number : numbers)
    {
        if (names.size() >= MaxPorts)
            break;
        if (seen.insert(number).second)
            names.push_back(kComPrefix + std::to_string(number));
    }
    return names;
}

int CSerialPortList::ComNumberForDevice(const std::string& path)
{
    static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (int family = 0; family < 3; ++family)
    {
        const std::string prefix = families[family];
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string digits = path.substr(prefix.size());
        int index = -1;
        if (digits == "0")
            index = 0;
        else if (const int parsed = ParseCanonicalNumber(digits, PortsPerFamily - 1); parsed != 0)
            index = parsed;
        return index < 0 ? 0 : family * PortsPerFamily + index + 1;
    }
    return 0;
}

int CSerialPortList::ComNumberForName(const std::string& name)
{
    const std::string prefix = kComPrefix;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    return ParseCanonicalNumber(name.substr(prefix.size()), kMaxComNumber);
}

int CSerialPortList::PortNumberFromEntry(const std::string& entry)
{
    const auto trimmed = [](char c) { return c == 'C' || c == 'O' || c == 'M'; };
    std::size_t first = 0;
    std::size_t last = entry.size();
    while (first < last && trimmed(entry[first]))
        ++first;
    while (last > first && trimmed(entry[last - 1]))
        --last;
    const std::string rest = entry.substr(first, last - first);
    // Like the C library's conversion: leading digits count, anything after them does not,
    // and a number too large for the setting reads as 0 rather than wrapping.
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || errno == ERANGE || value > INT_MAX || value < INT_MIN)
        return 0;
    return static_cast<int>(value);
}

std::vector<std::string> CSerialPortList::EnumerateDevices()
{
    std::vector<std::string> paths;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK || ports == nullptr)
        return paths;
    for (sp_port** port = ports; *port != nullptr; ++port)
    {
        if (const char* name = sp_get_port_name(*port))
            paths.emplace_back(name);
    }
    sp_free_port_list(ports);
    return paths;
}
