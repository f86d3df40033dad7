// Small helpers for tests that check what a call raises and how ids appear in messages.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "Platform/Types.h"

// The text of the exception `fn` raises, or "(nothing raised)".
inline std::string ErrorText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

// An id as the profiler's messages print it: upper-case hex, as wide as a pointer.
inline std::string Hex(UINT_PTR value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(sizeof(void*) * 2),
                  static_cast<unsigned long long>(value));
    return text;
}
