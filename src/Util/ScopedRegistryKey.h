// A registry key opened for reading and closed when the object goes away. Every failure raises a
// std::runtime_error with the fixed text the start-up settings and the environment record report.
#pragma once

#include <vector>

#include "Platform/Registry.h"
#include "Platform/Types.h"

class ScopedRegistryKey {
public:
    ScopedRegistryKey() = default;
    ~ScopedRegistryKey();

    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

    // Raises "Can't open registry key"; the object then holds no key. A key held before is closed.
    void Open(Platform::RegistryRoot root, const WString& subKey);
    // The value's type and bytes. Raises "Key was not created or openned" when no key is held,
    // "Can't get register value" when the value cannot be read.
    void QueryValue(const WString& valueName, DWORD& type, std::vector<BYTE>& data) const;
    void Close();
    bool IsOpen() const { return m_Key != nullptr; }

    // The text of a string value's bytes: 16-bit little-endian units up to the first zero unit or
    // the end of the data (an odd last byte is ignored).
    static WString StringOf(const std::vector<BYTE>& data);

private:
    Platform::RegistryKey m_Key = nullptr;
};
