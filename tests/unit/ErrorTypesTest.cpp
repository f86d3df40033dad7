#include <gtest/gtest.h>

#include <stdexcept>

#include "Util/CrError.h"
#include "Util/HrError.h"
#include "Util/LeError.h"
#include "Util/PeError.h"

TEST(ErrorTypes, ComposeTextAndHexCodeWithoutLeadingZeros) {
    _hr_error hr("Can't set event mask", MakeHResult(0x80004005));
    EXPECT_STREQ(hr.what(), "Can't set event mask (COM error code 0x80004005)");
    EXPECT_EQ(hr.Code(), MakeHResult(0x80004005));

    _pe_error pe("Can't start PAL thread", MakeHResult(0x80000019));
    EXPECT_STREQ(pe.what(), "Can't start PAL thread (PAL error code 0x80000019)");
    EXPECT_EQ(pe.Code(), MakeHResult(0x80000019));

    _cr_error cr("Not implemented", 0x80000003);
    EXPECT_STREQ(cr.what(), "Not implemented (CR error code 0x80000003)");
    EXPECT_EQ(cr.Code(), 0x80000003u);

    // Lower-case digits, and small codes keep no padding.
    EXPECT_STREQ(_hr_error("x", MakeHResult(0x8000FFFF)).what(), "x (COM error code 0x8000ffff)");
    EXPECT_STREQ(_pe_error("y", 0x1A).what(), "y (PAL error code 0x1a)");
    EXPECT_STREQ(_cr_error("z", 0).what(), "z (CR error code 0x0)");
}

TEST(ErrorTypes, LastErrorCodeIsSignedDecimal) {
    _le_error denied("Can't open file", 5);
    EXPECT_STREQ(denied.what(), "Can't open file (last error code 5)");
    EXPECT_EQ(denied.Code(), 5u);

    EXPECT_STREQ(_le_error("Can't read", 0xFFFFFFFF).what(), "Can't read (last error code -1)");
    EXPECT_STREQ(_le_error("Can't read", 123456).what(), "Can't read (last error code 123456)");
}

TEST(ErrorTypes, AreStandardRuntimeErrors) {
    // Outer edges catch them as standard exceptions.
    try {
        throw _pe_error("Can't write data", E_FAIL);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Can't write data (PAL error code 0x80004005)");
        return;
    }
    FAIL() << "not caught as std::runtime_error";
}
