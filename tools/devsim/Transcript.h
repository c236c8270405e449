#pragma once

#include <cstdio>
#include <string>

#include "Wire.h"

// One line per unit of traffic: "RX 02 01 00 01 03" for what the host sent, "TX ..." for what
// the unit sent, a trailing "!word" for anything malformed or dropped, and "# ..." for events.
// Each line is flushed at once so a test can read the file while the unit runs.
class CTranscript
{
public:
    CTranscript() = default;
    ~CTranscript();
    CTranscript(const CTranscript&) = delete;
    CTranscript& operator=(const CTranscript&) = delete;

    bool Open(const std::string& path);   // truncates; false when it cannot be written
    void Received(const wire::Bytes& bytes, const std::string& note = {});
    void Sent(const wire::Bytes& bytes, const std::string& note = {});
    void Event(const std::string& text);

private:
    void Line(const char* direction, const wire::Bytes& bytes, const std::string& note);

    std::FILE* m_file = nullptr;
};
