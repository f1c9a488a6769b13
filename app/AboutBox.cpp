#include "app/AboutBox.h"

#include "app/AppIdentity.h"
#include "app/AppMessageBox.h"

std::string AboutBox::text() const
{
    std::string text = kWindowTitle;
    text += "\n\n";
    for (const auto& [label, value] : lines_) {
        text += label;
        text += twoLines_ ? "\n    " : " ";
        text += value;
        text += '\n';
    }
    return text;
}

void AboutBox::show(HWND owner) const
{
    const std::string caption = std::string("About ") + kWindowTitle;
    appMessageBox(owner, text().c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

