#include "JsonWriter.h"

namespace
{
constexpr const char* kReplacement = "\xEF\xBF\xBD";
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, minimum = 0x80, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, minimum = 0x800, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, minimum = 0x10000, code = lead & 0x07u;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
    {
        if ((byte(i + k) & 0xC0u) != 0x80u)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void CJsonWriter::AppendEscaped(std::string& out, std::string_view text)
{
    out += '"';
    for (std::size_t i = 0; i < text.size();)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80)
        {
            const std::size_t length = Utf8SequenceLength(text, i);
            if (length == 0)
            {
                out += kReplacement;
                ++i;
            }
            else
            {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c)
        {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F)
            {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            }
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void CJsonWriter::Key(std::string_view key)
{
    if (!m_first)
        m_text += ',';
    m_first = false;
    if (!key.empty())
    {
        AppendEscaped(m_text, key);
        m_text += ':';
    }
}

CJsonWriter& CJsonWriter::BeginObject(std::string_view key)
{
    Key(key);
    m_text += '{';
    m_first = true;
    return *this;
}

CJsonWriter& CJsonWriter::EndObject()
{
    m_text += '}';
    m_first = false;
    return *this;
}

CJsonWriter& CJsonWriter::BeginArray(std::string_view key)
{
    Key(key);
    m_text += '[';
    m_first = true;
    return *this;
}

CJsonWriter& CJsonWriter::EndArray()
{
    m_text += ']';
    m_first = false;
    return *this;
}

CJsonWriter& CJsonWriter::String(std::string_view key, std::string_view value)
{
    Key(key);
    AppendEscaped(m_text, value);
    return *this;
}

CJsonWriter& CJsonWriter::Number(std::string_view key, std::int64_t value)
{
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

CJsonWriter& CJsonWriter::Bool(std::string_view key, bool value)
{
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

CJsonWriter& CJsonWriter::Null(std::string_view key)
{
    Key(key);
    m_text += "null";
    return *this;
}
