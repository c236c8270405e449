#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0 where the bytes
// there are not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

// A compact JSON text built field by field. Strings are escaped, and bytes that are not
// UTF-8 (a host name typed in another code page, a damaged log line) become U+FFFD, so
// what is published always parses.
class CJsonWriter
{
public:
    CJsonWriter& BeginObject(std::string_view key = {});
    CJsonWriter& EndObject();
    CJsonWriter& BeginArray(std::string_view key);
    CJsonWriter& EndArray();
    CJsonWriter& String(std::string_view key, std::string_view value);
    CJsonWriter& Number(std::string_view key, std::int64_t value);
    CJsonWriter& Bool(std::string_view key, bool value);
    CJsonWriter& Null(std::string_view key);

    const std::string& Text() const { return m_text; }

    static void AppendEscaped(std::string& out, std::string_view text);

private:
    void Key(std::string_view key);

    std::string m_text;
    bool m_first = true;
};
