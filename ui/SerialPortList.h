#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The serial ports the settings page offers. A COM number names either a link
// ports/COM<n> in the data folder (any device: a USB adapter's stable path, the simulated
// unit's pseudo-terminal) or, without one, the default device of its number:
// COM1..32 /dev/ttyS0..31, COM33..64 /dev/ttyUSB0..31, COM65..96 /dev/ttyACM0..31.
// Each entry says what is behind its number, so an operator can tell a built-in port from
// a USB adapter without a table. Qt-free, so the rules can be tested without a display.
class CSerialPortList
{
public:
    static constexpr std::size_t MaxPorts = 20;
    static constexpr int PortsPerFamily = 32;
    // Links made for USB adapters take numbers above every default-mapped one, so a number
    // never means one device through its link and another through the default mapping.
    static constexpr int FirstLinkNumber = 3 * PortsPerFamily + 1;

    // A device the system reports as a real port; the USB fields are empty for others.
    struct Device
    {
        std::string path;         // /dev/ttyUSB0
        std::string product;      // as the adapter reports it
        std::string serial;
        std::string stablePath;   // its /dev/serial/by-id name, empty when it has none
    };

    // One line of the list: "COM33 – ttyUSB0 – FT232R USB UART (A10K3Z)".
    struct Entry
    {
        int number = 0;
        std::string text;
        // Set for a USB adapter with a stable name: choosing the entry links that name.
        std::string stablePath;
    };

    // Every COM<n> link of the data folder's ports/ folder, then every default-mapped device
    // the system reports, each number once and at most MaxPorts entries in all.
    static std::vector<Entry> GetPorts();
    // The same rules over given inputs: the folder holding the COM<n> links (it may be
    // missing) and the devices the enumeration reported.
    static std::vector<Entry> GetPorts(const std::string& linkFolder, const std::vector<Device>& devices);

    // The data folder's ports/ folder.
    static std::string LinkFolder();
    // The number of a link in linkFolder that points at stablePath, made when there is none
    // yet with the lowest free number from FirstLinkNumber on; 0 when it cannot be made
    // (errno then says why).
    static int LinkStablePath(const std::string& linkFolder, const std::string& stablePath);

    // The COM number a default-mapped device has (/dev/ttyUSB2 -> 35), 0 for any other path.
    static int ComNumberForDevice(const std::string& path);
    // The number of a canonical "COM<n>" name (no sign, no leading zero, n >= 1), else 0.
    static int ComNumberForName(const std::string& name);
    // The page's reading of a list entry: the characters C, O and M trimmed from both ends,
    // the rest taken as a decimal number (0 when it does not start with one).
    static int PortNumberFromEntry(const std::string& entry);

    // The devices libserialport enumerates, with the stable names found in stableFolder;
    // empty when the enumeration fails.
    static std::vector<Device> EnumerateDevices(const std::string& stableFolder = "/dev/serial/by-id");
    // Fills in each device's stable name: the entry of stableFolder that resolves to it.
    static void FindStablePaths(const std::string& stableFolder, std::vector<Device>& devices);
};
