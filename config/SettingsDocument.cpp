#include "SettingsDocument.h"

#include <algorithm>

#include <cstring>
#include <sstream>

#include "FileAccess.h"

namespace
{
constexpr const char* kEmptyDocument = "<Settings></Settings>";

// White-space-only text is dropped between elements but kept as an element's only
// content, so that a name made of blanks survives a save and a load.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata_single;
constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

// A parser folds a raw carriage return into a line feed; written as a reference it
// comes back as itself. The writer produces no carriage return of its own, so every one
// in the output belongs to a text value.
std::string EscapeCarriageReturns(const std::string& xml)
{
    if (xml.find('\r') == std::string::npos)
        return xml;
    std::string escaped;
    escaped.reserve(xml.size() + 16);
    for (char c : xml)
    {
        if (c == '\r')
            escaped += "&#13;";
        else
            escaped += c;
    }
    return escaped;
}
}

std::unique_ptr<CSettingsDocument> CSettingsDocument::Create()
{
    auto document = std::make_unique<CSettingsDocument>();
    if (!document->m_document.load_string(kEmptyDocument, kParseOptions))
        return nullptr;
    return document;
}

std::unique_ptr<CSettingsDocument> CSettingsDocument::Parse(const void* data, std::size_t size, std::string* why)
{
    auto document = std::make_unique<CSettingsDocument>();
    const pugi::xml_parse_result parsed = document->m_document.load_buffer(data, size, kParseOptions, pugi::encoding_auto);
    if (!parsed)
    {
        if (why != nullptr)
        {
            // The offset counts the bytes of the text as read; for a UTF-8 file, the usual
            // kind, the line breaks before it give the line an editor shows.
            const auto* bytes = static_cast<const char*>(data);
            const std::size_t end = std::min(static_cast<std::size_t>(std::max<std::ptrdiff_t>(parsed.offset, 0)), size);
            const auto line = 1 + std::count(bytes, bytes + end, '\n');
            *why = "line " + std::to_string(line) + ": " + parsed.description();
        }
        return nullptr;
    }

    // Noted only for a text read as it is (UTF-8, no byte order mark), where the parser's
    // offsets are the file's; other encodings get messages without a line.
    if (parsed.encoding == pugi::encoding_utf8)
    {
        const auto* bytes = static_cast<const char*>(data);
        document->m_linesKnown = !(size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0);
        for (std::size_t at = 0; at < size && document->m_linesKnown; ++at)
            if (bytes[at] == '\n')
                document->m_lineBreaks.push_back(at);
    }

    // The parser accepts several top-level elements; a document has exactly one root.
    int roots = 0;
    for (pugi::xml_node node : document->m_document.children())
        if (node.type() == pugi::node_element)
            ++roots;
    if (roots != 1)
    {
        if (why != nullptr)
            *why = roots == 0 ? "no root element" : "more than one root element";
        return nullptr;
    }
    return document;
}

int CSettingsDocument::LineOf(pugi::xml_node node) const
{
    const std::ptrdiff_t offset = node.offset_debug();
    if (offset < 0 || !m_linesKnown)
        return 0;
    const auto before = std::lower_bound(m_lineBreaks.begin(), m_lineBreaks.end(), static_cast<std::size_t>(offset));
    return 1 + static_cast<int>(before - m_lineBreaks.begin());
}

std::string CSettingsDocument::GetXml() const
{
    std::ostringstream out;
    m_document.save(out, "", kFormatOptions, pugi::encoding_utf8);
    return EscapeCarriageReturns(out.str());
}

bool CSettingsDocument::SaveToFile(const std::string& path) const
{
    return WriteFileAtomically(path, GetXml());
}

bool CSettingsDocument::AppendTextElement(pugi::xml_node parent, const char* name, const std::string& text)
{
    pugi::xml_node element = parent.append_child(name);
    return element && element.text().set(text.c_str());
}

pugi::xml_node CSettingsDocument::FindChildElement(pugi::xml_node parent, const char* name)
{
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0)
            return child;
    return {};
}

std::string CSettingsDocument::GetText(pugi::xml_node element)
{
    std::string text;
    // Walked without recursion: a hostile file may nest elements arbitrarily deep.
    pugi::xml_node node = element.first_child();
    while (node)
    {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
        if (node.first_child())
        {
            node = node.first_child();
            continue;
        }
        while (node && node != element && !node.next_sibling())
            node = node.parent();
        if (!node || node == element)
            break;
        node = node.next_sibling();
    }
    return text;
}
