#include "app/Settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kValueTraceError[] = "TraceError";
constexpr char kValueTraceWarning[] = "TraceWarning";
constexpr char kValueTraceInfo[] = "TraceInfo";
constexpr char kValueTraceDebug[] = "TraceDebug";
constexpr char kValueTraceFileMaxSize[] = "TraceFileMaxSize";
constexpr char kValueTraceFile[] = "TraceFile";
constexpr char kValueTraceFile2nd[] = "TraceFile2nd";
constexpr char kValueTraceFileEnable[] = "TraceFileEnable";
constexpr uint32_t kFlagsNotRead = 0xFFFFFFFF;

}  // namespace

// ---- MemorySettingsStore ----

std::string MemorySettingsStore::lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void MemorySettingsStore::setDword(const std::string& key, const std::string& name, uint32_t value)
{
    writeDword(key, name, value, true);
}

void MemorySettingsStore::setString(const std::string& key, const std::string& name, const std::string& value)
{
    writeString(key, name, value, true, true);
}

const MemorySettingsStore::Value* MemorySettingsStore::value(const std::string& key, const std::string& name) const
{
    auto k = keys_.find(lower(key));
    if (k == keys_.end())
        return nullptr;
    auto v = k->second.find(lower(name));
    return v == k->second.end() ? nullptr : &v->second;
}

bool MemorySettingsStore::hasKey(const std::string& key) const
{
    return keys_.count(lower(key)) != 0;
}

bool MemorySettingsStore::readDword(const std::string& key, const std::string& name, uint32_t& value) const
{
    const Value* stored = this->value(key, name);
    if (!stored || stored->bytes.size() > sizeof value)
        return false;
    std::memcpy(&value, stored->bytes.data(), stored->bytes.size());
    return true;
}

bool MemorySettingsStore::readString(const std::string& key, const std::string& name, size_t bufferBytes,
                                     std::string& value) const
{
    const Value* stored = this->value(key, name);
    if (!stored || stored->bytes.size() > bufferBytes)
        return false;
    const auto* text = reinterpret_cast<const char*>(stored->bytes.data());
    value.assign(text, strnlen(text, stored->bytes.size()));
    return true;
}

long MemorySettingsStore::writeDword(const std::string& key, const std::string& name, uint32_t value, bool createKey)
{
    if (!createKey && !hasKey(key))
        return ERROR_FILE_NOT_FOUND;
    Value& stored = keys_[lower(key)][lower(name)];
    stored.type = Type::dword;
    stored.bytes.resize(sizeof value);
    std::memcpy(stored.bytes.data(), &value, sizeof value);
    return ERROR_SUCCESS;
}

long MemorySettingsStore::writeString(const std::string& key, const std::string& name, const std::string& value,
                                      bool withTerminator, bool createKey)
{
    if (!createKey && !hasKey(key))
        return ERROR_FILE_NOT_FOUND;
    Value& stored = keys_[lower(key)][lower(name)];
    stored.type = Type::string;
    stored.bytes.assign(value.begin(), value.end());
    if (withTerminator)
        stored.bytes.push_back(0);
    return ERROR_SUCCESS;
}

// ---- start-up settings ----

void applyCommandLine(StartupSettings& settings, const CommandLineOptions& options)
{
    if (!options.switchesTaken)
        return;
    if (!options.namespaceFile.empty())
        settings.namespaceFile = options.namespaceFile;
    settings.diagnosticFlags = options.diagnosticFlags;
    settings.keepRunning = settings.keepRunning || options.keepRunning;
    settings.fullPrecision = settings.fullPrecision || options.fullPrecision;
    settings.noMinimise = settings.noMinimise || options.noMinimise;
    settings.ignoreRegistryFlags = options.ignoreRegistryFlags;
}

void readSettings(StartupSettings& settings, const SettingsStore& store, TVCmnDebuggerOutput& debug)
{
    if (!store.hasKey(kSettingsKey)) {
        debug.write("Open key failed");
        return;
    }
    if (settings.namespaceFile.empty()) {
        std::string fileName;
        if (store.readString(kSettingsKey, kValueFileName, kFileNameBufferBytes, fileName))
            settings.namespaceFile = fileName;
        else
            settings.namespaceFile = settings.executableDirectory + kDefaultNamespaceFile;
    }
    uint32_t flags = kFlagsNotRead;
    if (!settings.ignoreRegistryFlags) {
        uint32_t stored = 0;
        if (store.readDword(kSettingsKey, kValueFlags, stored)) {
            flags = stored;
            settings.diagnosticFlags |= static_cast<uint16_t>(flags & kSettingsDiagnosticMask);
            settings.keepRunning = settings.keepRunning || (flags & kSettingsKeepRunning);
            settings.fullPrecision = settings.fullPrecision || (flags & kSettingsFullPrecision);
            settings.noMinimise = settings.noMinimise || (flags & kSettingsNoMinimise);
        }
    }
    char line[kFileNameBufferBytes + 64];
    std::snprintf(line, sizeof line, "file: %s, ingnoreReg: %i, flags: %x\n", settings.namespaceFile.c_str(),
                  settings.ignoreRegistryFlags ? 1 : 0, flags);
    debug.write(line);
}

long saveNamespaceFileName(SettingsStore& store, const std::string& fileName)
{
    return store.writeString(kSettingsKey, kValueFileName, fileName, true, true);
}

long storeRegistrationSettings(SettingsStore& store, const CommandLineOptions& options)
{
    long error = store.writeDword(kSettingsKey, kValueFlags, options.settingsBits, true);
    if (error != ERROR_SUCCESS)
        return error;
    // An earlier "file name" stays when this registration names none.
    if (!options.namespaceFileToStore.empty())
        error = store.writeString(kSettingsKey, kValueFileName, options.namespaceFileToStore, true, true);
    return error;
}

TVCmnTraceSettings readTraceSettings(const SettingsStore& store)
{
    TVCmnTraceSettings settings;
    if (!store.hasKey(kTraceSettingsKey))
        return settings;
    const std::pair<const char*, uint32_t*> numbers[] = {
        {kValueTraceError, &settings.errorMask},      {kValueTraceWarning, &settings.warningMask},
        {kValueTraceInfo, &settings.infoMask},        {kValueTraceDebug, &settings.debugMask},
        {kValueTraceFileMaxSize, &settings.fileMaxSizeBytes},
    };
    for (const auto& [name, target] : numbers)
        store.readDword(kTraceSettingsKey, name, *target);
    std::string path;
    if (store.readString(kTraceSettingsKey, kValueTraceFile, kTraceFileBufferBytes, path) && !path.empty()) {
        settings.fileName = path;
        settings.fileEnable = true;
    }
    path.clear();
    if (store.readString(kTraceSettingsKey, kValueTraceFile2nd, kTraceFileBufferBytes, path) && !path.empty())
        settings.secondFileName = path;
    uint32_t enable = 0;
    if (store.readDword(kTraceSettingsKey, kValueTraceFileEnable, enable))
        settings.fileEnable = enable != 0;
    return settings;
}

HRESULT settingsErrorResult(long error)
{
    if (error <= 0)
        return static_cast<HRESULT>(error);
    return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFF));
}

// ---- AppTraceHandler ----

void AppTraceHandler::groupName(uint32_t group, char label[4])
{
    const char* name = nullptr;
    switch (group) {
    case kTraceGroupUser1: name = "U1 "; break;
    case kTraceGroupUser2: name = "U2 "; break;
    case kTraceGroupUser3: name = "U3 "; break;
    case kTraceGroupUser4: name = "U4 "; break;
    default: return;
    }
    std::memcpy(label, name, 4);
}

HRESULT AppTraceHandler::saveOptions()
{
    if (!store_.hasKey(kTraceSaveKey))
        return settingsErrorResult(ERROR_FILE_NOT_FOUND);
    const TVCmnTraceFileSettings files = trace_.fileSettings();
    const std::pair<const char*, uint32_t> numbers[] = {
        {kValueTraceError, trace_.levelMask(kTraceError)},
        {kValueTraceWarning, trace_.levelMask(kTraceWarning)},
        {kValueTraceInfo, trace_.levelMask(kTraceInfo)},
        {kValueTraceDebug, trace_.levelMask(kTraceDebug)},
        {kValueTraceFileMaxSize, files.maxSizeBytes},
        {kValueTraceFileEnable, files.enable ? 1u : 0u},
    };
    long error = ERROR_SUCCESS;
    for (const auto& [name, value] : numbers) {
        const long written = store_.writeDword(kTraceSaveKey, name, value, false);
        if (error == ERROR_SUCCESS)
            error = written;
    }
    for (const auto& [name, text] : {std::pair{kValueTraceFile, &files.fileName}, std::pair{kValueTraceFile2nd, &files.secondFileName}}) {
        const long written = store_.writeString(kTraceSaveKey, name, *text, false, false);
        if (error == ERROR_SUCCESS)
            error = written;
    }
    return settingsErrorResult(error);
}
