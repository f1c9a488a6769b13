// Builds the small XML documents of the watch interface: elements, attributes written
// as name = "value", text, each escaped. No DOM: the documents are written once, front
// to back. Texts are taken as they are (the system's code page); the interface layer
// widens the finished document for the client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DaXmlWriter {
public:
    static constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

    DaXmlWriter() : out_(kDeclaration) {}

    DaXmlWriter& open(std::string_view element);
    // Only between open() and the element's first content.
    DaXmlWriter& attribute(std::string_view name, std::string_view value);
    DaXmlWriter& attribute(std::string_view name, uint32_t value);
    DaXmlWriter& text(std::string_view value);
    // Ends the innermost open element ("/>" when it has no content).
    DaXmlWriter& close();
    // Closes whatever is still open and hands out the document.
    std::string finish();

    // &, <, >, " and ' as entities; control characters that XML 1.0 cannot carry at
    // all (below 0x20 except tab, line feed, carriage return) become '?'.
    static void escape(std::string_view text, std::string& out);

private:
    void endStartTag();

    std::string out_;
    std::vector<std::string> open_;
    bool inStartTag_ = false;
};
