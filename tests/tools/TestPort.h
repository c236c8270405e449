#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The host's end of the line in these tests: the slave side of the simulated unit's
// pseudo-terminal, opened raw, with reads that always end by a deadline.
class TestPort
{
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit TestPort(const std::string& path);
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    bool Write(const Bytes& bytes);
    // Reads until count bytes came or the time is up; returns what came.
    Bytes Read(std::size_t count, int timeoutMs);
    // Reads until the line has been quiet for quietMs (or timeoutMs in all).
    Bytes ReadUntilQuiet(int quietMs, int timeoutMs);
    // Sends a frame and reads one whole answer: a single ACK/NAK byte or a full frame.
    Bytes Exchange(const Bytes& frame, int timeoutMs = 2000);

private:
    int m_fd = -1;
};

// 02 code n payload checksum 03, built here independently of the unit's own code.
TestPort::Bytes Frame(std::uint8_t code, const TestPort::Bytes& payload = {});
