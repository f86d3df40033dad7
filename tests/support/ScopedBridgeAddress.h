// Points the host's bridge transport at a controller on 127.0.0.1 for one scope; the earlier
// value of the variable comes back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "Host/PALTools.h"
#include "Platform/Types.h"

class ScopedBridgeAddress {
public:
    explicit ScopedBridgeAddress(WORD port) {
        if (const char* pOld = std::getenv(PALTools::AddressVariable)) {
            m_Saved = pOld;
        }
        setenv(PALTools::AddressVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }
    ~ScopedBridgeAddress() {
        if (m_Saved) {
            setenv(PALTools::AddressVariable, m_Saved->c_str(), 1);
        } else {
            unsetenv(PALTools::AddressVariable);
        }
    }

    ScopedBridgeAddress(const ScopedBridgeAddress&) = delete;
    ScopedBridgeAddress& operator=(const ScopedBridgeAddress&) = delete;

private:
    std::optional<std::string> m_Saved;
};
