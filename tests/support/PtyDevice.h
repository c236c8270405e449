#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The device's end of a pseudo-terminal, reached by the program as COM<n> through a link in
// the data folder's ports/ folder. It reads the frames the program sends and writes answers,
// so a window test can go the whole road from a click to the wire and back.
class PtyDevice
{
public:
    explicit PtyDevice(int comNumber);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool IsOpen() const { return m_master >= 0; }
    // One whole frame, start byte to end byte; empty when none came within the time.
    std::vector<std::uint8_t> ReadFrame(int timeoutMs);
    // A frame with the given code and payload, checksum and framing added.
    void WriteFrame(std::uint8_t code, const std::vector<std::uint8_t>& payload);

private:
    int m_master = -1;
    std::string m_link;
};
