#include "lib/common/com_util.h"

#include <gtest/gtest.h>

#include "lib/rman/rman_pgn_api.h"

TEST(StatusText, MiNamesCoverTheirRangeOnly)
{
    // The ends of the table and the gaps in and around it.
    EXPECT_STREQ(mi_status_name(0), "MI_STS_EOK");
    EXPECT_STREQ(mi_status_name(0x21E00000), "MI_STS_BASE");
    EXPECT_STREQ(mi_status_name(0x21E00001), "MI_STS_EINVAL");
    EXPECT_STREQ(mi_status_name(0x21E0003E), "MI_STS_EMAX");
    EXPECT_STREQ(mi_status_name(0x21E0003F), "UNKNOWN server error");
    EXPECT_STREQ(mi_status_name(0x21E003FF), "MI_STS_ECMNMAX");
    EXPECT_STREQ(mi_status_name(1), "UNKNOWN server error");
}

TEST(StatusText, OneRuleForEveryStatus)
{
    EXPECT_STREQ(rpgn_status_text(-808), "DM_ERR_BADMSG");
    EXPECT_STREQ(rpgn_status_text(-1), "undefined");
    EXPECT_STREQ(rpgn_status_text(0x21E00000), "MI_STS_BASE");
    EXPECT_STREQ(rpgn_status_text(0x21E0001D), "MI_STS_EAUTH");
    EXPECT_STREQ(rpgn_status_text(0x21E003FE), "UNKNOWN server error");
    EXPECT_STREQ(rpgn_status_text(0x21E003FF), "Unknown error");  // past the MI range: runtime text
    EXPECT_STREQ(rpgn_status_text(104), "Bad message");
    EXPECT_STREQ(rpgn_status_text(0), "No error");
}
