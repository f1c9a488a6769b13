// The server's own about box: label and value lines, shown in a box owned by the main
// window. The same calls as the maker's about-box library: pairs of texts, a two-line
// version display, then show.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class AboutBox {
public:
    void loadStrPair(const std::string& label, const std::string& value) { lines_.emplace_back(label, value); }
    // Each pair shows as a label line with its value on the next line.
    void twoLineVer() { twoLines_ = true; }
    void show(HWND owner) const;
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> lines_;
    bool twoLines_ = false;
};

