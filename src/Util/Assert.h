// Debug assertions. A failed assertion reports its condition as text ("pMessage != NULL") to the
// installed handler; release builds go on without checking.
#pragma once

namespace Util {

using AssertHandler = void (*)(const char* condition, const char* file, int line);

// The default handler writes the condition to standard error and aborts. Tests install one that
// throws, to check that a programming error is caught.
AssertHandler SetAssertHandler(AssertHandler handler);
void AssertFailed(const char* condition, const char* file, int line);

}  // namespace Util

#ifdef NDEBUG
#define QV_ASSERT(condition) ((void)0)
#else
#define QV_ASSERT(condition) \
    ((condition) ? (void)0 : ::Util::AssertFailed(#condition, __FILE__, __LINE__))
#endif
