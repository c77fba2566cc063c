#include "lib/common/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kes_test.h"

using kes_test::read_file;
using kes_test::TempDir;

namespace {
bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}
}  // namespace

TEST(LogLevels, NamesAndLookup)
{
    EXPECT_STREQ(log_level_name(0), "EMERGENCY");
    EXPECT_STREQ(log_level_name(9), "TRACE1");
    EXPECT_STREQ(log_level_name(10), "UNKNOWN");
    EXPECT_STREQ(log_level_name(-1), "UNKNOWN");
    EXPECT_EQ(log_level_from_name("trace"), 8);
    EXPECT_EQ(log_level_from_name("Trace1"), 9);
    EXPECT_EQ(log_level_from_name("8"), -1);
    EXPECT_EQ(log_effective_level(nullptr), 3);
}

TEST(LogRotation, FreshDirectoryGetsIndexAndFirstFile)
{
    TempDir d;
    std::string dir = d / "a/b";
    LogFile *log = log_create_rotating(dir.c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(read_file(dir + "/rmanIndex.txt"), "0 ");
    EXPECT_TRUE(exists(dir + "/rman0.log"));
    log_write(LOG_LVL_ERROR, "/x/y/source.cpp", 42, log, nullptr, "hello %d\n", 7);
    std::string text = read_file(dir + "/rman0.log");
    EXPECT_EQ(text.rfind("ERROR\t - ", 0), 0u);
    EXPECT_NE(text.find(" source.cpp:42 hello 7\n"), std::string::npos);
    log_close(log);
}

TEST(LogRotation, NumbersCycleAndTheOldestIsDeleted)
{
    TempDir d;
    LogFile *log = log_create_rotating(d.path().c_str());
    ASSERT_NE(log, nullptr);
    log_set_level(log, LOG_LVL_INFO);
    log_set_limits(log, 100, 2);
    std::string big(120, 'm');
    auto files = [&] {
        std::string s;
        for (int i = 0; i < 4; i++)
            s += exists(d / ("rman" + std::to_string(i) + ".log")) ? char('0' + i) : '-';
        return s;
    };
    // The size check runs on the 1st, 11th, 21st ... write.
    log_write(LOG_LVL_INFO, "f", 1, log, nullptr, "%s\n", big.c_str());
    EXPECT_EQ(read_file(d / "rmanIndex.txt"), "1 ");
    EXPECT_EQ(files(), "01--");
    for (int i = 0; i < 10; i++)
        log_write(LOG_LVL_INFO, "f", 1, log, nullptr, "%s\n", big.c_str());
    EXPECT_EQ(read_file(d / "rmanIndex.txt"), "2 ");
    EXPECT_EQ(files(), "-12-");
    for (int i = 0; i < 10; i++)
        log_write(LOG_LVL_INFO, "f", 1, log, nullptr, "%s\n", big.c_str());
    EXPECT_EQ(read_file(d / "rmanIndex.txt"), "0 ");
    EXPECT_EQ(files(), "0-2-");
    // The wrapped file starts empty apart from the lines written since.
    EXPECT_LT(read_file(d / "rman0.log").size(), 10 * 200u);
    log_close(log);
}

TEST(LogRotation, ASecondLogInTheDirectoryContinuesFromTheIndex)
{
    TempDir d;
    kes_test::write_file(d / "rmanIndex.txt", "3 ");
    LogFile *log = log_create_rotating(d.path().c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(exists(d / "rman3.log"));
    log_close(log);
    // Garbage in the index restarts the numbering at 0.
    kes_test::write_file(d / "rmanIndex.txt", "junk");
    log = log_create_rotating(d.path().c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(read_file(d / "rmanIndex.txt").substr(0, 2), "0 ");
    log_close(log);
}

TEST(LogRotation, PlainLogNeverSwitches)
{
    TempDir d;
    LogFile *log = log_create_plain((d / "trace.txt").c_str());
    ASSERT_NE(log, nullptr);
    log_set_level(log, LOG_LVL_INFO);
    log_set_limits(log, 10, 1);
    for (int i = 0; i < 30; i++)
        log_write(LOG_LVL_INFO, "f", 1, log, nullptr, "line %d\n", i);
    std::string text = read_file(d / "trace.txt");
    EXPECT_NE(text.find("line 29\n"), std::string::npos);
    EXPECT_NE(text.find("line 0\n"), std::string::npos);
    log_close(log);
    EXPECT_EQ(log_create_plain((d / "missing/dir/x").c_str()), nullptr);
}

TEST(LogForwarding, TraceGetsWhatItsLevelAllowsWhateverTheMainLevel)
{
    TempDir d;
    LogFile *main_log = log_create_rotating(d.path().c_str());
    LogFile *trace = log_create_plain((d / "trace.txt").c_str());
    ASSERT_NE(main_log, nullptr);
    ASSERT_NE(trace, nullptr);
    log_set_level(trace, LOG_LVL_INFO);
    // The main log at its default level (ERROR) drops INFO; the trace keeps it.
    log_write(LOG_LVL_INFO, "f", 1, main_log, trace, "info line\n");
    log_write(LOG_LVL_DEBUG, "f", 1, main_log, trace, "debug line\n");
    log_write(LOG_LVL_INFO, "f", 1, main_log, nullptr, "not forwarded\n");
    std::string t = read_file(d / "trace.txt");
    EXPECT_NE(t.find("info line\n"), std::string::npos);
    EXPECT_EQ(t.find("debug line"), std::string::npos);
    EXPECT_EQ(t.find("not forwarded"), std::string::npos);
    EXPECT_EQ(t.rfind("SBT-", 0), 0u);
    EXPECT_EQ(read_file(d / "rman0.log").find("info line"), std::string::npos);
    // A null target writes nothing, even to the second target.
    log_write(LOG_LVL_ERROR, "f", 1, nullptr, trace, "lost\n");
    EXPECT_EQ(read_file(d / "trace.txt").find("lost"), std::string::npos);
    log_close(trace);
    log_close(main_log);
}

TEST(LogFailure, UncreatableDirectoryGivesNoLog)
{
    TempDir d;
    kes_test::write_file(d / "file", "x");
    EXPECT_EQ(log_create_rotating((d / "file/sub").c_str()), nullptr);
    std::string huge(400, 'a');
    EXPECT_EQ(log_create_rotating(huge.c_str()), nullptr);
}

TEST(LogAssert, ReportLogsAndStops)
{
    TempDir d;
    ASSERT_NE(plog_open_main(d.path().c_str()), nullptr);
    EXPECT_DEATH(com_assert("file.cpp", "func", 12, "value %d\n", 5), "");
    plog_close_all();
}
