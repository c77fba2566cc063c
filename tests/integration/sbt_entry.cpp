// The library as RMAN sees it: loaded with dlopen and driven through sbtinit
// and the entry-point vector.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "integration/support_sbt.h"
#include "kes_test.h"

using kes_test::Channel;
using kes_test::read_file;
using kes_test::SbtLib;
using kes_test::ScopedWindir;
using kes_test::TempDir;

namespace {

class SbtEntry : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("BACKUP_HOST");
        unsetenv("BACKUP_SHARE");
        unsetenv("BACKUP_USERNAME");
        unsetenv("BACKUP_PASSWORD");
        unsetenv("BACKUP_CREDID");
        ASSERT_NE(lib_.handle, nullptr) << dlerror();
        ASSERT_NE(lib_.init, nullptr);
    }
    std::string mainlog() const { return read_file(windir_.libdir() + "/rman0.log"); }

    ScopedWindir windir_;
    SbtLib lib_;
};

}  // namespace

TEST_F(SbtEntry, OutputListIsSharedUntilTheLastChannelEnds)
{
    Channel a, b;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(b.init(lib_), 0);
    EXPECT_EQ(a.init_list, b.init_list);

    sbt_item *l = a.init_list;
    EXPECT_EQ(l[0].type, 5u);
    EXPECT_STREQ(static_cast<const char *>(l[0].value), "KESTRALON MMS for RMAN 1.1.3.3694");
    EXPECT_EQ(l[1].type, 8u);
    EXPECT_EQ(*static_cast<uint32_t *>(l[1].value), 0x01010300u);
    EXPECT_EQ(l[2].type, 4u);
    EXPECT_EQ(*static_cast<uint32_t *>(l[2].value), 512u);
    EXPECT_EQ(l[3].type, 6u);
    EXPECT_EQ(l[4].type, 7u);
    EXPECT_EQ(*static_cast<uint32_t *>(l[4].value), 3888u);
    EXPECT_EQ(l[5].type, 1u);
    EXPECT_EQ(l[5].value, nullptr);

    // The vector has eleven working slots in alphabetical order.
    const sbt_vector *v = a.v;
    const void *const *slots = reinterpret_cast<const void *const *>(v);
    for (int i = 0; i < 11; i++)
        EXPECT_NE(slots[i], nullptr) << i;

    ASSERT_EQ(a.init2(), 0);
    ASSERT_EQ(b.init2(), 0);
    EXPECT_EQ(a.end(), 0);
    EXPECT_EQ(a.rec()->flags, 0u);
    // The second channel still holds the list after the first one ended:
    // every item reads back as it was handed out, and its vector still works.
    sbt_item *bl = b.init_list;
    EXPECT_EQ(bl[0].type, 5u);
    EXPECT_STREQ(static_cast<const char *>(bl[0].value), "KESTRALON MMS for RMAN 1.1.3.3694");
    EXPECT_EQ(*static_cast<uint32_t *>(bl[1].value), 0x01010300u);
    EXPECT_EQ(*static_cast<uint32_t *>(bl[2].value), 512u);
    EXPECT_EQ(bl[3].value, static_cast<const void *>(b.v));
    EXPECT_EQ(*static_cast<uint32_t *>(bl[4].value), 3888u);
    EXPECT_EQ(bl[5].type, 1u);
    EXPECT_EQ(b.v->command(b.ctx, 0, "test still here"), 0);
    EXPECT_EQ(b.end(), 0);

    // A new list is built after the channels ended, with the same content.
    Channel c;
    ASSERT_EQ(c.init(lib_), 0);
    EXPECT_STREQ(static_cast<const char *>(c.init_list[0].value), "KESTRALON MMS for RMAN 1.1.3.3694");
    EXPECT_EQ(*static_cast<uint32_t *>(c.init_list[4].value), 3888u);
    ASSERT_EQ(c.init2(), 0);
    EXPECT_EQ(c.end(), 0);
}

TEST_F(SbtEntry, SbtinitRefusesNullArgumentsWithoutLogging)
{
    uint64_t err = 0;
    sbt_item *out = nullptr;
    sbt_item in[1] = {{SBT_INIT_END, nullptr}};
    EXPECT_EQ(lib_.init(&err, nullptr, &out), -1);
    EXPECT_EQ(err, 7110u);
    err = 0;
    EXPECT_EQ(lib_.init(&err, in, nullptr), -1);
    EXPECT_EQ(err, 7110u);
    struct stat st;
    EXPECT_NE(stat(windir_.libdir().c_str(), &st), 0) << "no log directory may be created";
}

TEST_F(SbtEntry, UnopenableTraceFileFailsWith7111)
{
    Channel a;
    uint64_t err = 0;
    std::string bad = windir_.path() + "/no/such/dir/trace.txt";
    EXPECT_EQ(a.init(lib_, bad.c_str(), &err), -1);
    EXPECT_EQ(err, 7111u);
    std::string huge(5000, 'x');
    EXPECT_EQ(a.init(lib_, huge.c_str(), &err), -1);
    EXPECT_EQ(err, 7111u);
}

TEST_F(SbtEntry, VersionOneExportsRefuse)
{
    EXPECT_EQ(lib_.sym<int (*)()>("sbtopen")(), -1);
    EXPECT_EQ(lib_.sym<int (*)()>("sbtread")(), -1);
    EXPECT_EQ(lib_.sym<int (*)()>("sbtwrite")(), -1);
    EXPECT_EQ(lib_.sym<int (*)()>("sbtclose")(), -1);
    EXPECT_EQ(lib_.sym<int (*)()>("sbtremove")(), -1);
    EXPECT_EQ(lib_.sym<void *(*)()>("sbtinfo")(), nullptr);
    // Nothing else is exported.
    EXPECT_EQ(dlsym(lib_.handle, "rpgn_status_text"), nullptr);
    EXPECT_EQ(dlsym(lib_.handle, "util_err_name"), nullptr);
}

TEST_F(SbtEntry, Sbtinit2WithoutHostSucceedsWithoutSessions)
{
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    sbt_item in[1] = {{SBT_LIST_END, nullptr}};
    sbt_item *out = nullptr;
    ASSERT_EQ(a.v->init2(a.ctx, 0, in, &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->type, 9999u);
    EXPECT_EQ(a.rec()->flags, RPGN_F_INIT2);
    EXPECT_EQ(a.rec()->pid, getpid());

    // sbterror after success reports nothing.
    uint32_t code = 123;
    char *text = nullptr;
    EXPECT_EQ(a.v->error(a.ctx, 0, &code, &text), -1);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(text, nullptr);

    // A second call fails and leaves the channel fresh; a third starts afresh.
    EXPECT_EQ(a.v->init2(a.ctx, 0, in, &out), -1);
    EXPECT_EQ(a.error(&code), "sbtinit2: called more than once");
    EXPECT_EQ(code, 7501u);
    EXPECT_EQ(a.rec()->flags, 0u);
    EXPECT_EQ(a.v->init2(a.ctx, 0, in, &out), 0);
    EXPECT_EQ(a.end(), 0);
    EXPECT_NE(mainlog().find("EXIT rman_pgn_sbtinit2: rc -1 sbtinit2: called more than once \n"), std::string::npos);
}

TEST_F(SbtEntry, Sbtinit2ValidatesItsInput)
{
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    sbt_item *out = nullptr;
    EXPECT_EQ(a.v->init2(a.ctx, 0, nullptr, &out), -1);
    EXPECT_EQ(a.error(), "sbtinit2: parameter validation failed.");
    int dummy = 0;
    sbt_item shared[2] = {{SBT_INIT2_SHARED_BUF, &dummy}, {SBT_LIST_END, nullptr}};
    EXPECT_EQ(a.v->init2(a.ctx, 0, shared, &out), -1);
    EXPECT_EQ(a.error(), "sbtinit2: shared buffers not supported");
    EXPECT_EQ(a.rec()->flags, 0u);
}

TEST_F(SbtEntry, SbtParametersSetTheEnvironment)
{
    unsetenv("KES_T_ONE");
    unsetenv("KES_T_TWO");
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(a.init2("KES_T_ONE=alpha, KES_T_TWO=beta\tKES_T_THREE=x=y"), 0);
    EXPECT_STREQ(getenv("KES_T_ONE"), "alpha");
    EXPECT_STREQ(getenv("KES_T_TWO"), "beta");
    EXPECT_STREQ(getenv("KES_T_THREE"), "x");
    EXPECT_EQ(a.end(), 0);

    Channel b;
    ASSERT_EQ(b.init(lib_), 0);
    EXPECT_EQ(b.init2("KES_T_ONE=1,NOEQUALS,KES_T_TWO=2"), -1);
    EXPECT_EQ(b.error(), "Malformed SBT parameter NOEQUALS\n");
    EXPECT_EQ(b.init2("=value"), -1);
    EXPECT_EQ(b.error(), "Malformed SBT parameter =*****\n");
    EXPECT_EQ(b.init2("NAME="), -1);
    EXPECT_EQ(b.error(), "Malformed SBT parameter NAME=\n");
    EXPECT_EQ(b.rec()->flags, 0u);
}

TEST_F(SbtEntry, MalformedParametersNeverShowAPassword)
{
    // Each case: what RMAN passes, and all the message may say.
    const struct {
        const char *params;
        const char *message;
    } cases[] = {
        {"BACKUP_PASSWORD==pw1secret", "Malformed SBT parameter BACKUP_PASSWORD=*****\n"},
        {"BACKUP_HOST=h,BACKUP_PASSWORD=pw2,secret", "Malformed SBT parameter *****\n"},
        {"BACKUP_PASSWORD=pw3 KES_T_X=1 secret=", "Malformed SBT parameter *****\n"},
        {"KES_T_X==pw4secret", "Malformed SBT parameter KES_T_X=*****\n"},
    };
    kes_test::TempDir tmp;
    std::string trace = tmp / "trace.txt";
    for (const auto &c : cases) {
        Channel a;
        ASSERT_EQ(a.init(lib_, trace.c_str()), 0);
        EXPECT_EQ(a.init2(c.params, trace.c_str(), 2), -1);
        EXPECT_EQ(a.error(), c.message) << c.params;
    }
    std::string logs = read_file(trace) + mainlog();
    EXPECT_NE(logs.find("Malformed SBT parameter BACKUP_PASSWORD=*****"), std::string::npos);
    EXPECT_EQ(logs.find("secret"), std::string::npos);
    for (const char *pw : {"pw1", "pw2", "pw3", "pw4"})
        EXPECT_EQ(logs.find(pw), std::string::npos) << pw;
}

TEST_F(SbtEntry, EntryPointsRefuseBeforeSbtinit2)
{
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    char buf[16] = {};
    char name[] = "piece";
    char *files[] = {name, nullptr};
    sbt_item *result = reinterpret_cast<sbt_item *>(1);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    EXPECT_EQ(a.v->backup(a.ctx, 0, "piece", objs, 512, 0), -1);
    EXPECT_EQ(a.error(), "sbtbackup: sbtinit2 never called");
    EXPECT_EQ(a.v->restore(a.ctx, 0, "piece", 512), -1);
    EXPECT_EQ(a.error(), "sbtrestore: sbtinit2 never called");
    EXPECT_EQ(a.v->write2(a.ctx, 0, buf), -1);
    EXPECT_EQ(a.error(), "sbtwrite2: sbtinit2 never called");
    EXPECT_EQ(a.v->read2(a.ctx, 0, buf), -1);
    EXPECT_EQ(a.error(), "sbtread2: sbtinit2 never called");
    EXPECT_EQ(a.v->close2(a.ctx, 0), -1);
    EXPECT_EQ(a.error(), "sbtclose2: sbtinit2 never called");
    EXPECT_EQ(a.v->remove2(a.ctx, 0, files), -1);
    EXPECT_EQ(a.error(), "sbtremove2: sbtinit2 never called");
    EXPECT_EQ(a.v->info2(a.ctx, 0, files, &result), -1);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(a.error(), "sbtinfo2: sbtinit2 never called");
    EXPECT_EQ(a.v->command(a.ctx, 0, "test a b"), -1);
    EXPECT_EQ(a.error(), "sbtcommand: sbtinit2 never called");
    // sbtend on a channel whose sbtinit2 never ran returns 0 and tears nothing down.
    EXPECT_EQ(a.end(), 0);
    EXPECT_NE(mainlog().find("EXIT rman_pgn_sbtbackup: rc -1 sbtbackup: sbtinit2 never called file piece\n"),
              std::string::npos);
}

TEST_F(SbtEntry, BackupNamesWhatTheSessionLacks)
{
    setenv("BACKUP_HOST", "127.0.0.1", 1);
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(a.init2(), 0);
    EXPECT_EQ(a.rec()->flags, RPGN_F_INIT2);
    sbt_item objs[1] = {{SBT_OBJECT_END, nullptr}};
    EXPECT_EQ(a.v->backup(a.ctx, 0, "piece", objs, 512, 0), -1);
    EXPECT_EQ(a.error(), "sbtbackup: session to server is not established in sbtinit2(): storage share is not specified");
    EXPECT_EQ(a.v->restore(a.ctx, 0, "piece", 512), -1);
    EXPECT_EQ(a.error(), "sbtrestore: session to server is not established in sbtinit2(): storage share is not specified");
    EXPECT_EQ(a.end(), 0);
}

TEST_F(SbtEntry, SbtendFromAnotherProcessTearsNothingDown)
{
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(a.init2(), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int rc = a.end(1);
        _exit(rc == 0 && a.rec()->flags == RPGN_F_INIT2 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(a.rec()->flags, RPGN_F_INIT2);
    EXPECT_EQ(a.end(1), 0);  // the owning process tears down
    EXPECT_EQ(a.rec()->flags, 0u);
}

TEST_F(SbtEntry, LogsAndTraceFollowTheirLevels)
{
    TempDir tmp;
    std::string trace = tmp / "trace.txt";
    kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "DEBUG_LEVEL=info\n");
    Channel a;
    ASSERT_EQ(a.init(lib_, trace.c_str()), 0);
    // The log directory holds the index and the first log file.
    EXPECT_EQ(read_file(windir_.libdir() + "/rmanIndex.txt"), "0 ");
    std::string log = mainlog();
    EXPECT_NE(log.find("INFO\t - "), std::string::npos);
    EXPECT_NE(log.find("KESTRALON MMS for RMAN 1.1.3.3694\n"), std::string::npos);
    EXPECT_NE(log.find("1.1.3.3694 KESTRALON RMAN plugin initialized.\n"), std::string::npos);
    EXPECT_NE(log.find("IO_PATH=Wavelane\n"), std::string::npos);
    EXPECT_EQ(log.find("ENTER"), std::string::npos) << "TRACE lines stay out of a main log at INFO";

    // At the initial trace level (ERROR) only failures reach the trace file.
    char buf[8];
    EXPECT_EQ(a.v->write2(a.ctx, 0, buf), -1);
    std::string t = read_file(trace);
    EXPECT_EQ(t.find("ENTER rman_pgn_sbtwrite2"), std::string::npos);
    EXPECT_NE(t.find("EXIT rman_pgn_sbtwrite2: rc -1 sbtwrite2: sbtinit2 never called \n"), std::string::npos);
    EXPECT_EQ(t.rfind("SBT-", 0), 0u);

    // RMAN's level 1 selects TRACE: ENTER and EXIT lines both arrive.
    ASSERT_EQ(a.init2(nullptr, trace.c_str(), 1), 0);
    EXPECT_EQ(a.v->close2(a.ctx, 0), -1);
    t = read_file(trace);
    EXPECT_NE(t.find("ENTER rman_pgn_sbtclose2: flags 0\n"), std::string::npos);
    EXPECT_NE(t.find("EXIT rman_pgn_sbtclose2: rc -1 sbtclose2: no file open \n"), std::string::npos);
    EXPECT_EQ(a.end(), 0);
}

TEST_F(SbtEntry, LibraryRunsOnWithoutALogDirectory)
{
    // WINDIR below a regular file: the library directory cannot be made.
    TempDir tmp;
    std::string file = tmp / "plain";
    kes_test::write_file(file, "x");
    setenv("WINDIR", file.c_str(), 1);
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(a.init2(), 0);
    char buf[8];
    EXPECT_EQ(a.v->write2(a.ctx, 0, buf), -1);
    EXPECT_EQ(a.error(), "sbtwrite2: file is not opened with sbtbackup");
    EXPECT_EQ(a.end(), 0);
}

TEST_F(SbtEntry, LibraryFilesArePrivateWhateverTheUmask)
{
    TempDir tmp;
    std::string trace = tmp / "trace.txt";
    mode_t old = umask(0);
    Channel a;
    int rc = a.init(lib_, trace.c_str());
    int rc2 = rc == 0 ? a.init2() : -1;
    int rc3 = rc2 == 0 ? a.v->command(a.ctx, 0, "creds -s -c c1 -H h1 -u u1 -p p1") : -1;
    umask(old);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(rc2, 0) << a.error();
    ASSERT_EQ(rc3, 0) << a.error();
    auto mode = [](const std::string &p) {
        struct stat st;
        return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
    };
    const std::string lib = windir_.libdir();
    EXPECT_EQ(mode(lib), 0700u);
    for (const char *f : {"rman0.log", "rmanIndex.txt", "creds.xml", "creds.xml.lock"})
        EXPECT_EQ(mode(lib + "/" + f), 0600u) << f;
    EXPECT_EQ(mode(trace), 0600u);
    EXPECT_EQ(a.end(), 0);
}

TEST_F(SbtEntry, FixedPathsAreNeverFollowedThroughALink)
{
    // Someone planted links where the library's own files belong: nothing is
    // written through them, and the library runs on.
    TempDir tmp;
    const std::string lib = windir_.libdir();
    ASSERT_EQ(mkdir(lib.c_str(), 0700), 0);
    for (const char *f : {"rman0.log", "rmanIndex.txt"})
        ASSERT_EQ(symlink((tmp / f).c_str(), (lib + "/" + f).c_str()), 0);
    Channel a;
    ASSERT_EQ(a.init(lib_), 0);
    ASSERT_EQ(a.init2(), 0);
    EXPECT_EQ(a.end(), 0);
    for (const char *f : {"rman0.log", "rmanIndex.txt"}) {
        struct stat st;
        EXPECT_NE(stat((tmp / f).c_str(), &st), 0) << f << " was created through the link";
    }
}
