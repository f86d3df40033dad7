// Sets (or, with a null value, removes) an environment variable for one scope.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : m_Name(name) {
        if (const char* pOld = std::getenv(name)) {
            m_Old = pOld;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ScopedVariable(const char* name, const std::string& value) : ScopedVariable(name, value.c_str()) {}
    ~ScopedVariable() {
        if (m_Old) {
            setenv(m_Name.c_str(), m_Old->c_str(), 1);
        } else {
            unsetenv(m_Name.c_str());
        }
    }

    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string m_Name;
    std::optional<std::string> m_Old;
};
