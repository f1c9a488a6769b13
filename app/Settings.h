// The server's persistent settings under HKEY_LOCAL_MACHINE: the namespace file, the
// start-up diagnostics and modes, and the trace facility's levels and files. The rules
// live here over a small SettingsStore, which is the registry in the product and an
// in-memory store in native tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"
#include "trace/TVCmnTrace.h"

inline constexpr char kSettingsKey[] = "SOFTWARE\\Kelvane\\REDAZED3AVU\\settings";
inline constexpr char kTraceSettingsKey[] = "SOFTWARE\\Kelvane\\REDAZED3AVU";
// Where the trace handler saves; written only when it exists, read by nobody here.
inline constexpr char kTraceSaveKey[] = "SOFTWARE\\Kelvane Ltd\\RE ZUD Irurer 3";
inline constexpr char kValueFileName[] = "file name";
inline constexpr char kValueFlags[] = "flags";
inline constexpr char kDefaultNamespaceFile[] = "\\appdefault.xml";
inline constexpr size_t kFileNameBufferBytes = 1024;
inline constexpr size_t kTraceFileBufferBytes = 260;

// Keys are paths under HKEY_LOCAL_MACHINE. Reads answer false for a missing key or
// value, or one that does not fit the buffer; writes answer a Windows error code.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual bool hasKey(const std::string& key) const = 0;
    // Reads the first four bytes whatever the value's type, as the registry does when
    // a DWORD is asked for.
    virtual bool readDword(const std::string& key, const std::string& name, uint32_t& value) const = 0;
    // The text up to its first zero; false when it needs more than bufferBytes.
    virtual bool readString(const std::string& key, const std::string& name, size_t bufferBytes,
                            std::string& value) const = 0;
    // Create the key when it is missing (createKey) or fail with ERROR_FILE_NOT_FOUND.
    virtual long writeDword(const std::string& key, const std::string& name, uint32_t value, bool createKey) = 0;
    virtual long writeString(const std::string& key, const std::string& name, const std::string& value,
                             bool withTerminator, bool createKey) = 0;
};

// The store of native tests: values kept as registry-like typed bytes.
class MemorySettingsStore final : public SettingsStore {
public:
    enum class Type { dword, string };
    struct Value {
        Type type;
        std::vector<uint8_t> bytes;
    };

    void addKey(const std::string& key) { keys_[lower(key)]; }
    void setDword(const std::string& key, const std::string& name, uint32_t value);
    void setString(const std::string& key, const std::string& name, const std::string& value);
    const Value* value(const std::string& key, const std::string& name) const;

    bool hasKey(const std::string& key) const override;
    bool readDword(const std::string& key, const std::string& name, uint32_t& value) const override;
    bool readString(const std::string& key, const std::string& name, size_t bufferBytes,
                    std::string& value) const override;
    long writeDword(const std::string& key, const std::string& name, uint32_t value, bool createKey) override;
    long writeString(const std::string& key, const std::string& name, const std::string& value,
                     bool withTerminator, bool createKey) override;

private:
    static std::string lower(const std::string& text);
    // Registry names are case-insensitive: keys and value names are kept lower-cased.
    std::map<std::string, std::map<std::string, Value>> keys_;
};

#ifdef _WIN32
// HKEY_LOCAL_MACHINE itself.
std::unique_ptr<SettingsStore> makeRegistrySettingsStore();
#endif

// What the settings decide for this run; the command line fills it first.
struct StartupSettings {
    std::string executableDirectory;
    std::string namespaceFile;
    bool ignoreRegistryFlags = false;
    uint16_t diagnosticFlags = 0;
    bool keepRunning = false;
    bool fullPrecision = false;
    bool noMinimise = false;
};

// Takes over what the command line says for this run.
void applyCommandLine(StartupSettings& settings, const CommandLineOptions& options);

// At start-up, after the command line: the namespace file unless one was given, and the
// registry's flags OR-ed in unless "/x". Flags never switch anything off. Writes the
// debugger lines through `debug`.
void readSettings(StartupSettings& settings, const SettingsStore& store, TVCmnDebuggerOutput& debug);

// The namespace file chosen in the window, for the next start. A Windows error code.
long saveNamespaceFileName(SettingsStore& store, const std::string& fileName);

// The registration switch's part: "flags" and, with a path, "file name". A key that
// cannot be created leaves everything as it was; the result is not reported.
long storeRegistrationSettings(SettingsStore& store, const CommandLineOptions& options);

// The trace settings at start-up, from the defaults and the registry.
TVCmnTraceSettings readTraceSettings(const SettingsStore& store);

// Labels the application's trace groups and saves the trace settings.
class AppTraceHandler final : public TVCmnTraceHandler {
public:
    // Neither is owned; both outlive the handler's installation.
    AppTraceHandler(TVCmnTrace& trace, SettingsStore& store) : trace_(trace), store_(store) {}
    void groupName(uint32_t group, char label[4]) override;
    HRESULT saveOptions() override;

private:
    TVCmnTrace& trace_;
    SettingsStore& store_;
};

// A Windows error as an HRESULT; one that is already negative stays as it is.
HRESULT settingsErrorResult(long error);
