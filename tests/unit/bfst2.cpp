#include "bfst/bfst2.h"

#include <gtest/gtest.h>

#include <string>

TEST(Bfst2Library, StartStopAndErrorTexts)
{
    char *err = reinterpret_cast<char *>(1);
    EXPECT_EQ(bfst2_finalize(&err), BFST2_ERR_NOT_INITIALIZED);
    ASSERT_NE(err, nullptr);
    bfst2_free_error_string(err);
    EXPECT_EQ(bfst2_initialize("BFST_RMAN", &err), 0);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(bfst2_initialize("", &err), BFST2_ERR_INVALID_ARG);
    bfst2_free_error_string(err);
    EXPECT_EQ(bfst2_finalize(&err), 0);
    EXPECT_STREQ(bfst2_strerror(0), "success");
    EXPECT_STREQ(bfst2_strerror(12345), "unknown transfer library error");
    bfst2_free_error_string(nullptr);
}

TEST(Bfst2Library, DataCallsSayTheyAreNotAvailableYet)
{
    char *err = nullptr;
    bfst2_connection *conn = nullptr;
    EXPECT_EQ(bfst2_handle_create_remote_with_credential("127.0.0.1", 1062, 60, "ost", nullptr, 0, &conn, &err),
              BFST2_ERR_NOT_AVAILABLE);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err).find("IO_PATH=1"), std::string::npos);
    bfst2_free_error_string(err);
}
