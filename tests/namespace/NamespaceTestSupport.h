// What the namespace tests share: a diagnostics sink that keeps every line with its
// class, and helpers to load a file or a text into a fresh address space.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "da/DaNamespaceRoot.h"
#include "drivecomms/DriveTag.h"
#include "namespace/NamespaceLoader.h"

struct RecordedDiagnostics : NamespaceDiagnostics {
    struct Line {
        uint16_t diagClass;
        std::string text;
    };
    std::vector<Line> lines;
    bool wantsNamespace = true;

    bool wants(uint16_t diagClass) const override { return diagClass != kNamespaceDiagClass || wantsNamespace; }
    void post(uint16_t diagClass, const std::string& message) override { lines.push_back({diagClass, message}); }

    std::vector<std::string> texts(uint16_t diagClass) const
    {
        std::vector<std::string> result;
        for (const auto& line : lines)
            if (line.diagClass == diagClass)
                result.push_back(line.text);
        return result;
    }
    std::vector<std::string> always() const { return texts(kNamespaceDiagAlways); }
    bool has(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const Line& line) { return line.text == text; });
    }
};

struct LoadedSpace {
    DaRef<DaNamespaceRoot> root{new DaNamespaceRoot};
    RecordedDiagnostics diagnostics;
    int32_t protocol = -1;
    bool result = false;

    LoadedSpace() = default;
    explicit LoadedSpace(const std::string& path) { loadFile(path); }
    ~LoadedSpace() { root->removeAllChildren(); }

    void loadFile(const std::string& path, const std::string& fallback = "no-such-fallback.xml")
    {
        NamespaceLoadOptions options;
        options.fallbackFileName = fallback;
        result = loadNamespaceFile(path, *root, diagnostics, protocol, options);
    }
    void loadText(const std::string& text)
    {
        result = loadNamespaceDocument(text.data(), text.size(), *root, diagnostics, protocol);
    }
    DaRef<DriveTag> tag(const std::string& itemId) const
    {
        DaRef<DaTag> found = root->findTag(itemId);
        return DaRef<DriveTag>(static_cast<DriveTag*>(found.get()));
    }
    bool has(const std::string& itemId) const { return static_cast<bool>(root->findElement(itemId)); }
};

inline std::string testFile(const char* name) { return std::string(KV_NAMESPACE_TEST_FILES) + "/" + name; }
