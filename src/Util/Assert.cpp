#include "Util/Assert.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace Util {
namespace {

void AbortingHandler(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

std::atomic<AssertHandler> g_Handler{&AbortingHandler};

}  // namespace

AssertHandler SetAssertHandler(AssertHandler handler) {
    return g_Handler.exchange(handler != nullptr ? handler : &AbortingHandler);
}

void AssertFailed(const char* condition, const char* file, int line) {
    g_Handler.load()(condition, file, line);
}

}  // namespace Util
