// Builds the address space from a namespace file: one branch per drive node, option slot
// and menu, one DriveTag per drive parameter. Called once at start-up, before the server
// entry starts. Reports every step as a namespace diagnostic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "da/DaNamespaceRoot.h"

// Diagnostic classes the loader posts in.
inline constexpr uint16_t kNamespaceDiagClass = 0x0001;
inline constexpr uint16_t kNamespaceDiagAlways = 0xFFFF;

// The file tried, relative to the current directory, when the namespace file cannot be
// loaded.
inline constexpr const char* kNamespaceFallbackFile = "appdefault.xml";

// Where the loader's diagnostics go; the application binds it to postDiagnostic.
class NamespaceDiagnostics {
public:
    virtual ~NamespaceDiagnostics() = default;
    // False lets the loader skip formatting a line nobody would see or trace.
    virtual bool wants(uint16_t diagClass) const { return true; }
    virtual void post(uint16_t diagClass, const std::string& message) = 0;
};

struct NamespaceLoadOptions {
    std::string fallbackFileName = kNamespaceFallbackFile;
};

// True when the address space was built (also when the document holds no "QZNetcfg");
// false when neither the file nor the fallback loads, or the file's syntax is wrong.
// `protocol` is set when a top-level node carries a "Protocol" attribute and left as it
// was otherwise (the application starts it at -1).
bool loadNamespaceFile(const std::string& fileName, DaNamespaceRoot& root, NamespaceDiagnostics& diagnostics,
                       int32_t& protocol, const NamespaceLoadOptions& options = NamespaceLoadOptions());

// The same from a document in memory, without a fallback; for tests and fuzzing.
bool loadNamespaceDocument(const void* data, size_t sizeBytes, DaNamespaceRoot& root,
                           NamespaceDiagnostics& diagnostics, int32_t& protocol);
