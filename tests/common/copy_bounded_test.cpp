#include "common/copy_bounded.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(CopyBounded, CopiesWholeOrCutsAndAlwaysTerminates) {
    char dst[5];
    memset(dst, 'x', sizeof dst);
    copy_bounded(dst, "abc", sizeof dst);
    EXPECT_STREQ(dst, "abc");
    copy_bounded(dst, "abcd", sizeof dst);  // exactly fits with its terminator
    EXPECT_STREQ(dst, "abcd");
    copy_bounded(dst, "abcdefgh", sizeof dst);
    EXPECT_STREQ(dst, "abcd");
    copy_bounded(dst, "", sizeof dst);
    EXPECT_STREQ(dst, "");
    char one[1] = {'x'};
    copy_bounded(one, "anything", sizeof one);
    EXPECT_EQ(one[0], '\0');
}
