#include "SerialPortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <libserialport.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/DataFolder.h"
#include "core/DirectoryTree.h"

namespace
{
constexpr const char* kPortsFolder = "ports";
constexpr const char* kComPrefix = "COM";
constexpr const char* kSeparator = " \u2013 ";
constexpr const char* kMissingMark = " (not present)";
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

struct Link
{
    int number;
    std::string target;
};

std::vector<Link> ReadLinks(const std::string& folder)
{
    std::vector<Link> links;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return links;
    while (const dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        const int number = CSerialPortList::ComNumberForName(name);
        if (number == 0)
            continue;
        // A dangling link is listed too: "Get Status" then says why the port cannot open,
        // which tells the operator more than a port that silently is not there.
        const std::string path = JoinPath(folder, name);
        struct stat info{};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            continue;
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        links.push_back({number, length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string()});
    }
    closedir(dir);
    std::sort(links.begin(), links.end(), [](const Link& a, const Link& b) { return a.number < b.number; });
    return links;
}

std::string Resolved(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "ttyUSB0 – FT232R USB UART (A10K3Z)", or only the node's name for a port with no USB
// description.
std::string Describe(const CSerialPortList::Device& device)
{
    std::string text = BaseName(device.path);
    std::string usb = device.product;
    if (!device.serial.empty())
        usb += (usb.empty() ? "(" : " (") + device.serial + ")";
    if (!usb.empty())
        text += kSeparator + usb;
    return text;
}

std::string ComName(int number)
{
    return kComPrefix + std::to_string(number);
}
}

std::vector<CSerialPortList::Entry> CSerialPortList::GetPorts()
{
    return GetPorts(LinkFolder(), EnumerateDevices());
}

std::string CSerialPortList::LinkFolder()
{
    return JoinPath(GetDataFolder(), kPortsFolder);
}

std::vector<CSerialPortList::Entry> CSerialPortList::GetPorts(const std::string& linkFolder,
                                                              const std::vector<Device>& devices)
{
    // Links first, as they take precedence when the port is opened; then the devices in
    // number order. The limit applies to the whole, like the system's table of 20 values.
    std::vector<Entry> entries;
    std::set<int> seen;
    for (const Link& link : ReadLinks(linkFolder))
    {
        if (entries.size() >= MaxPorts)
            return entries;
        seen.insert(link.number);
        // Where the link leads: the adapter's own description when it leads to one the
        // system reports, else the target as written, marked when nothing is there.
        std::string where = link.target;
        const std::string device = Resolved(JoinPath(linkFolder, ComName(link.number)));
        if (device.empty())
            where += kMissingMark;
        for (const Device& known : devices)
        {
            if (!device.empty() && Resolved(known.path) == device)
            {
                where = Describe(known);
                break;
            }
        }
        entries.push_back({link.number, ComName(link.number) + kSeparator + where, {}});
    }

    std::vector<std::pair<int, const Device*>> mapped;
    for (const Device& device : devices)
    {
        if (const int number = ComNumberForDevice(device.path); number != 0)
            mapped.emplace_back(number, &device);
    }
    std::stable_sort(mapped.begin(), mapped.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [number, device] : mapped)
    {
        if (entries.size() >= MaxPorts)
            break;
        if (seen.insert(number).second)
            entries.push_back({number, ComName(number) + kSeparator + Describe(*device), device->stablePath});
    }
    return entries;
}

int CSerialPortList::LinkStablePath(const std::string& linkFolder, const std::string& stablePath)
{
    if (stablePath.empty())
    {
        errno = EINVAL;
        return 0;
    }
    // The adapter's earlier link keeps its number, so a choice made before still holds.
    for (const Link& link : ReadLinks(linkFolder))
    {
        if (link.target == stablePath)
            return link.number;
    }
    if (!CreateDirectoryTree(linkFolder))
        return 0;
    for (long number = FirstLinkNumber; number <= kMaxComNumber; ++number)
    {
        const std::string path = JoinPath(linkFolder, ComName(static_cast<int>(number)));
        if (symlink(stablePath.c_str(), path.c_str()) == 0)
            return static_cast<int>(number);
        if (errno != EEXIST)
            return 0;
    }
    errno = ENOSPC;
    return 0;
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

std::vector<CSerialPortList::Device> CSerialPortList::EnumerateDevices(const std::string& stableFolder)
{
    std::vector<Device> devices;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK || ports == nullptr)
        return devices;
    for (sp_port** port = ports; *port != nullptr; ++port)
    {
        const char* name = sp_get_port_name(*port);
        if (name == nullptr)
            continue;
        Device device;
        device.path = name;
        if (sp_get_port_transport(*port) == SP_TRANSPORT_USB)
        {
            if (const char* product = sp_get_port_usb_product(*port))
                device.product = product;
            if (const char* serial = sp_get_port_usb_serial(*port))
                device.serial = serial;
        }
        devices.push_back(std::move(device));
    }
    sp_free_port_list(ports);
    FindStablePaths(stableFolder, devices);
    return devices;
}

void CSerialPortList::FindStablePaths(const std::string& stableFolder, std::vector<Device>& devices)
{
    DIR* dir = opendir(stableFolder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    // In name order, so that a device with two names always gets the same one.
    std::sort(names.begin(), names.end());
    for (Device& device : devices)
    {
        const std::string target = Resolved(device.path);
        if (target.empty())
            continue;
        for (const std::string& name : names)
        {
            const std::string path = JoinPath(stableFolder, name);
            if (Resolved(path) == target)
            {
                device.stablePath = path;
                break;
            }
        }
    }
}
