#include <gtest/gtest.h>

#include <stdexcept>

#include "Util/Assert.h"

TEST(Assert, FailedConditionReachesHandlerAsText) {
#ifndef NDEBUG
    const void* pMessage = nullptr;
    try {
        QV_ASSERT(pMessage != NULL);
        FAIL() << "assertion did not fire";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("assertion: pMessage != NULL", e.what());
    }
#else
    GTEST_SKIP() << "assertions are compiled out of release builds";
#endif
}
