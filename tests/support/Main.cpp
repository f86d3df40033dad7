#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Util/Assert.h"

namespace {

// Tests see a failed debug assertion as an exception carrying the condition text.
void ThrowingAssertHandler(const char* condition, const char*, int) {
    throw std::logic_error(std::string("assertion: ") + condition);
}

}  // namespace

int main(int argc, char** argv) {
    Util::SetAssertHandler(&ThrowingAssertHandler);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
