#include "opc/DaXmlWriter.h"

void DaXmlWriter::escape(std::string_view text, std::string& out)
{
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            const auto byte = static_cast<unsigned char>(c);
            out += (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : c;
        }
    }
}

void DaXmlWriter::endStartTag()
{
    if (inStartTag_)
        out_ += '>';
    inStartTag_ = false;
}

DaXmlWriter& DaXmlWriter::open(std::string_view element)
{
    endStartTag();
    out_ += '<';
    out_ += element;
    open_.emplace_back(element);
    inStartTag_ = true;
    return *this;
}

DaXmlWriter& DaXmlWriter::attribute(std::string_view name, std::string_view value)
{
    if (!inStartTag_)
        return *this;  // a programming error; the document stays well formed
    out_ += ' ';
    out_ += name;
    out_ += " = \"";
    escape(value, out_);
    out_ += '"';
    return *this;
}

DaXmlWriter& DaXmlWriter::attribute(std::string_view name, uint32_t value)
{
    return attribute(name, std::to_string(value));
}

DaXmlWriter& DaXmlWriter::text(std::string_view value)
{
    endStartTag();
    escape(value, out_);
    return *this;
}

DaXmlWriter& DaXmlWriter::close()
{
    if (open_.empty())
        return *this;
    if (inStartTag_) {
        out_ += "/>";
        inStartTag_ = false;
    } else {
        out_ += "</";
        out_ += open_.back();
        out_ += '>';
    }
    open_.pop_back();
    return *this;
}

std::string DaXmlWriter::finish()
{
    while (!open_.empty())
        close();
    return std::move(out_);
}
