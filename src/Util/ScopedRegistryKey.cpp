#include "Util/ScopedRegistryKey.h"

#include <stdexcept>

ScopedRegistryKey::~ScopedRegistryKey() {
    Close();
}

void ScopedRegistryKey::Open(Platform::RegistryRoot root, const WString& subKey) {
    Close();
    Platform::RegistryKey key = nullptr;
    if (Platform::RegOpenKey(root, subKey, &key) != Platform::ERROR_SUCCESS) {
        throw std::runtime_error("Can't open registry key");
    }
    m_Key = key;
}

void ScopedRegistryKey::QueryValue(const WString& valueName, DWORD& type,
                                   std::vector<BYTE>& data) const {
    if (m_Key == nullptr) {
        throw std::runtime_error("Key was not created or openned");
    }
    // Size and type first, then the bytes; an open key keeps its content, so the size holds.
    DWORD size = 0;
    if (Platform::RegQueryValue(m_Key, valueName, &type, nullptr, &size) !=
        Platform::ERROR_SUCCESS) {
        throw std::runtime_error("Can't get register value");
    }
    data.assign(size, 0);
    if (size == 0) {
        return;
    }
    if (Platform::RegQueryValue(m_Key, valueName, &type, data.data(), &size) !=
        Platform::ERROR_SUCCESS) {
        throw std::runtime_error("Can't get register value");
    }
    data.resize(size);
}

void ScopedRegistryKey::Close() {
    if (m_Key != nullptr) {
        // Closing a key that was opened cannot fail in a way the reader could act on.
        Platform::RegCloseKey(m_Key);
        m_Key = nullptr;
    }
}

WString ScopedRegistryKey::StringOf(const std::vector<BYTE>& data) {
    WString text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<WCHAR>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}
