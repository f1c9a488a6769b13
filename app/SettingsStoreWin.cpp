// The settings store of the product: HKEY_LOCAL_MACHINE through the ANSI registry calls,
// since every text of the application is in the ANSI code page.
#include <windows.h>

#include <vector>

#include "app/Settings.h"

namespace {

// Closes the key it holds.
class Key {
public:
    Key() = default;
    ~Key()
    {
        if (handle_)
            RegCloseKey(handle_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    LSTATUS open(const std::string& path, REGSAM access, bool create)
    {
        if (create)
            return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, const_cast<char*>(""), 0, access, nullptr,
                                   &handle_, nullptr);
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &handle_);
    }
    HKEY get() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

class RegistrySettingsStore final : public SettingsStore {
public:
    bool hasKey(const std::string& key) const override
    {
        Key k;
        return k.open(key, KEY_READ, false) == ERROR_SUCCESS;
    }
    bool readDword(const std::string& key, const std::string& name, uint32_t& value) const override
    {
        Key k;
        if (k.open(key, KEY_READ, false) != ERROR_SUCCESS)
            return false;
        DWORD read = value;
        DWORD size = sizeof read;
        // No type check: a short value of another type lands in the low bytes.
        if (RegQueryValueExA(k.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size) !=
            ERROR_SUCCESS)
            return false;
        value = read;
        return true;
    }
    bool readString(const std::string& key, const std::string& name, size_t bufferBytes,
                    std::string& value) const override
    {
        Key k;
        if (k.open(key, KEY_READ, false) != ERROR_SUCCESS)
            return false;
        std::vector<char> buffer(bufferBytes + 1, '\0');
        DWORD size = static_cast<DWORD>(bufferBytes);
        if (RegQueryValueExA(k.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
            ERROR_SUCCESS)
            return false;
        value.assign(buffer.data(), strnlen(buffer.data(), size));
        return true;
    }
    long writeDword(const std::string& key, const std::string& name, uint32_t value, bool createKey) override
    {
        Key k;
        LSTATUS status = k.open(key, KEY_ALL_ACCESS, createKey);
        if (status != ERROR_SUCCESS)
            return status;
        const DWORD data = value;
        return RegSetValueExA(k.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    }
    long writeString(const std::string& key, const std::string& name, const std::string& value, bool withTerminator,
                     bool createKey) override
    {
        Key k;
        LSTATUS status = k.open(key, KEY_ALL_ACCESS, createKey);
        if (status != ERROR_SUCCESS)
            return status;
        return RegSetValueExA(k.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + (withTerminator ? 1 : 0)));
    }
};

}  // namespace

std::unique_ptr<SettingsStore> makeRegistrySettingsStore()
{
    return std::make_unique<RegistrySettingsStore>();
}
