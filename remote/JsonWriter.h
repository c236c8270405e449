#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
