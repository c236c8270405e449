#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

// The XML document of the settings file, and the few DOM operations the settings code
// needs of it. Text content is read and written whole; there are no attributes.
class CSettingsDocument
{
public:
    // A document holding an empty Settings root; null when it cannot be made.
    static std::unique_ptr<CSettingsDocument> Create();
    // Null when the bytes are not one well-formed document. The encoding is found from a
    // byte order mark or the declaration (UTF-8, UTF-16, UTF-32, Latin-1); a DOCTYPE is
    // skipped, and its entities are neither expanded nor fetched.
    // why, when given, receives the reason of a refusal: "line 12: <the parser's words>".
    static std::unique_ptr<CSettingsDocument> Parse(const void* data, std::size_t size, std::string* why = nullptr);

    pugi::xml_node GetRoot() const { return m_document.document_element(); }
    // The line of the file a parsed node began on, for a message; 0 when not known.
    int LineOf(pugi::xml_node node) const;

    // The document as UTF-8 text: no declaration and no white space between elements.
    std::string GetXml() const;
    bool SaveToFile(const std::string& path) const;

    // Appends an element holding text; false when memory ran out.
    static bool AppendTextElement(pugi::xml_node parent, const char* name, const std::string& text);
    // The first child element of that exact name, or a null node.
    static pugi::xml_node FindChildElement(pugi::xml_node parent, const char* name);
    // All character data below the element, in document order, as a DOM text property gives it.
    static std::string GetText(pugi::xml_node element);

private:
    pugi::xml_document m_document;
    std::vector<std::size_t> m_lineBreaks;   // offsets of the parsed text's line feeds
    bool m_linesKnown = false;
};
