#include "Transcript.h"

CTranscript::~CTranscript()
{
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool CTranscript::Open(const std::string& path)
{
    if (m_file != nullptr)
        std::fclose(m_file);
    m_file = std::fopen(path.c_str(), "we");
    return m_file != nullptr;
}

void CTranscript::Received(const wire::Bytes& bytes, const std::string& note)
{
    Line("RX", bytes, note);
}

void CTranscript::Sent(const wire::Bytes& bytes, const std::string& note)
{
    Line("TX", bytes, note);
}

void CTranscript::Event(const std::string& text)
{
    if (m_file == nullptr)
        return;
    std::fprintf(m_file, "# %s\n", text.c_str());
    std::fflush(m_file);
}

void CTranscript::Line(const char* direction, const wire::Bytes& bytes, const std::string& note)
{
    if (m_file == nullptr)
        return;
    std::string text = direction;
    if (!bytes.empty())
        text += ' ' + wire::ToHex(bytes);
    if (!note.empty())
        text += ' ' + note;
    std::fprintf(m_file, "%s\n", text.c_str());
    std::fflush(m_file);
}
