#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The serial ports the settings page offers, as "COM<n>" names. A COM number names either a
// link ports/COM<n> in the data folder (any device: a USB adapter's stable path, the
// simulated unit's pseudo-terminal) or, without one, the default device of its number:
// COM1..32 /dev/ttyS0..31, COM33..64 /dev/ttyUSB0..31, COM65..96 /dev/ttyACM0..31.
// Qt-free, so the rules can be tested without a display.
class CSerialPortList
{
public:
    static constexpr std::size_t MaxPorts = 20;
    static constexpr int PortsPerFamily = 32;

    // Every COM<n> link of the data folder's ports/ folder, then every default-mapped device
    // that libserialport reports as a real port (a /dev/ttyS<k> with no UART behind it is not
    // reported), each number once and at most MaxPorts names in all.
    static std::vector<std::string> GetPortNames();

    // The same rules over given inputs: the folder holding the COM<n> links (it may be
    // missing) and the device paths the enumeration reported.
    static std::vector<std::string> GetPortNames(const std::string& linkFolder,
                                                 const std::vector<std::string>& devicePaths);

    // The COM number a default-mapped device has (/dev/ttyUSB2 -> 35), 0 for any other path.
    static int ComNumberForDevice(const std::string& path);
    // The number of a canonical "COM<n>" name (no sign, no leading zero, n >= 1), else 0.
    static int ComNumberForName(const std::string& name);
    // The page's reading of a list entry: the characters C, O and M trimmed from both ends,
    // the rest taken as a decimal number (0 when it does not start with one).
    static int PortNumberFromEntry(const std::string& entry);

    // The device paths libserialport enumerates; empty when it fails.
    static std::vector<std::string> EnumerateDevices();
};
