#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "Util/CrError.h"
#include "Util/HrError.h"
#include "Util/LeError.h"
#include "Util/PeError.h"

// Held as standard runtime errors, as the outer edges catch them.
TEST(ErrorTypes, ComposeTextAndCodeAndKeepTheCodeBare) {
    const std::pair<std::runtime_error, const char*> cases[] = {
        {_hr_error("Can't set event mask", MakeHResult(0x80004005)),
         "Can't set event mask (COM error code 0x80004005)"},
        {_pe_error("Can't start", MakeHResult(0x80000019)),
         "Can't start (PAL error code 0x80000019)"},
        {_cr_error("Not implemented", 0x80000003), "Not implemented (CR error code 0x80000003)"},
        // Lower-case digits; small codes keep no padding.
        {_hr_error("x", MakeHResult(0x8000FFFF)), "x (COM error code 0x8000ffff)"},
        {_pe_error("y", 0x1A), "y (PAL error code 0x1a)"},
        {_cr_error("z", 0), "z (CR error code 0x0)"},
        // The last error code is signed decimal.
        {_le_error("Can't open file", 5), "Can't open file (last error code 5)"},
        {_le_error("Can't read", 0xFFFFFFFF), "Can't read (last error code -1)"},
        {_le_error("Can't read", 123456), "Can't read (last error code 123456)"},
    };
    for (const auto& [error, pText] : cases) {
        EXPECT_STREQ(error.what(), pText);
    }
    EXPECT_EQ(_hr_error("", MakeHResult(0x80004005)).Code(), MakeHResult(0x80004005));
    EXPECT_EQ(_pe_error("", MakeHResult(0x80000019)).Code(), MakeHResult(0x80000019));
    EXPECT_EQ(_cr_error("", 0x80000003).Code(), 0x80000003u);
    EXPECT_EQ(_le_error("", 5).Code(), 5u);
}
