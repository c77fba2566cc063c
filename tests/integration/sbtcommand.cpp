// sbtcommand as RMAN drives it: the library loaded with dlopen, a channel set
// up by sbtinit and sbtinit2 (no BACKUP_HOST, so no sessions), commands sent
// through the entry-point vector.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "integration/support_sbt.h"
#include "kes_test.h"

using kes_test::Channel;
using kes_test::read_file;
using kes_test::SbtLib;
using kes_test::ScopedWindir;

namespace {

const char *USAGE_FMT = "Usage: creds [-s|--set|-g|--get|-d|--delete] -c|--cred <cred_id> -H|--host <hostip> "
                        "-u|--user <username> -p|--password <password>\n";

void clear_backup_env()
{
    for (const char *v : {"BACKUP_HOST", "BACKUP_SHARE", "BACKUP_USERNAME", "BACKUP_PASSWORD", "BACKUP_CREDID",
                          "POSIXLY_CORRECT"})
        unsetenv(v);
}

// Counts the credentials in a store read independently; -1 when it does not parse.
int count_creds(const std::string &path)
{
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return -1;
    int n = 0;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    for (xmlNodePtr h = root ? root->children : nullptr; h != nullptr; h = h->next)
        for (xmlNodePtr c = h->children; c != nullptr; c = c->next)
            if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, (const xmlChar *)"cred"))
                n++;
    xmlFreeDoc(doc);
    return n;
}

class SbtCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_backup_env();
        ASSERT_NE(lib_.handle, nullptr) << dlerror();
        // Main log at the most verbose level, so that the ENTER lines reach it.
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", "DEBUG_LEVEL=TRACE1\n");
        trace_ = windir_.path() + "/sbt.trc";
        ASSERT_EQ(ch_.init(lib_), 0);
        ASSERT_EQ(ch_.init2(nullptr, trace_.c_str(), 1), 0) << ch_.error();
    }
    void TearDown() override
    {
        if (ch_.v != nullptr)
            ch_.end();
    }

    int cmd(const char *command) { return ch_.v->command(ch_.ctx, 0, command); }
    int cmd(const std::string &command) { return cmd(command.c_str()); }
    std::string store() const { return windir_.libdir() + "/creds.xml"; }
    std::string mainlog() const { return read_file(windir_.libdir() + "/rman0.log"); }
    static std::string usage() { return USAGE_FMT; }

    ScopedWindir windir_;
    SbtLib lib_;
    Channel ch_;
    std::string trace_;
};

}  // namespace

TEST_F(SbtCommand, RefusedBeforeSbtinit2)
{
    Channel fresh;
    ASSERT_EQ(fresh.init(lib_), 0);
    EXPECT_EQ(fresh.v->command(fresh.ctx, 0, "test a"), -1);
    uint32_t code = 0;
    EXPECT_EQ(fresh.error(&code), "sbtcommand: sbtinit2 never called");
    EXPECT_EQ(code, 7501u);
    // Complete the channel so that its sbtend releases what its sbtinit took.
    ASSERT_EQ(fresh.init2(), 0);
    EXPECT_EQ(fresh.v->command(fresh.ctx, 0, "test a"), 0);
    fresh.end();
}

TEST_F(SbtCommand, CredsCommandKeepsThePrivateStoreInTheLibraryDirectory)
{
    ASSERT_EQ(cmd("creds -s -c cr1 -H 10.1.1.1 -u alice -p pw1"), 0) << ch_.error();
    EXPECT_EQ(ch_.rec()->error_code, 0u);
    struct stat sb;
    ASSERT_EQ(stat(store().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    EXPECT_EQ(count_creds(store()), 1);

    EXPECT_EQ(cmd("creds -s -c cr1 -H 10.1.1.1 -u alice -p pw1"), -1);
    uint32_t code = 0;
    EXPECT_EQ(ch_.error(&code), "Credentials with id cr1 for host 10.1.1.1 already exist.\n" + usage());
    EXPECT_EQ(code, 7501u);

    // A later success clears the error; sbterror then has nothing to hand out.
    EXPECT_EQ(cmd("creds --get --cred cr1 --host 10.1.1.1"), 0);
    EXPECT_EQ(ch_.error(), "");
    EXPECT_EQ(cmd("creds -d -c cr1 -H 10.1.1.1"), 0);
    EXPECT_EQ(count_creds(store()), 0);
}

TEST_F(SbtCommand, EachFailingCommandReportsOnlyItsOwnMessage)
{
    EXPECT_EQ(cmd("creds -g -c x -H h -u someone"), -1);
    EXPECT_EQ(ch_.error(), "User name and password must not be specified when not setting credentials\n" + usage());
    EXPECT_EQ(cmd("creds -h"), -1);
    EXPECT_EQ(ch_.error(), usage());
    EXPECT_EQ(cmd("bogus -s"), -1);
    EXPECT_EQ(ch_.error(), "sbtcommand: Unknown command: bogus\n");
    // Only the exact word "creds" selects the command.
    EXPECT_EQ(cmd("Creds -h"), -1);
    EXPECT_EQ(ch_.error(), "sbtcommand: Unknown command: Creds\n");
}

TEST_F(SbtCommand, CommandsWithoutAnyWordAreRefused)
{
    for (const char *c : {"", "  \t ", static_cast<const char *>(nullptr)}) {
        EXPECT_EQ(cmd(c), -1);
        EXPECT_EQ(ch_.error(), "sbtcommand: no command specified");
    }
}

TEST_F(SbtCommand, SixtyTwoWordsPassAndSixtyThreeAreRefused)
{
    std::string c = "test";
    for (int i = 1; i < 62; i++)
        c += (i % 2 ? " " : " \t ") + std::string("w") + std::to_string(i);
    EXPECT_EQ(cmd(c), 0) << ch_.error();
    std::string log = mainlog();
    EXPECT_NE(log.find("argv[0] = test\n"), std::string::npos);
    EXPECT_NE(log.find("argv[61] = w61\n"), std::string::npos);

    EXPECT_EQ(cmd(c + " w62"), -1);
    EXPECT_EQ(ch_.error(), "sbtcommand: too many command parameters specified");
    EXPECT_EQ(mainlog().find("argv[62]"), std::string::npos);

    // The same bound holds for creds: 62 words reach its own checks.
    std::string creds = "creds -g -c a -H h";
    for (int i = 6; i < 62; i++)
        creds += " x";
    EXPECT_EQ(cmd(creds), -1);
    EXPECT_EQ(ch_.error(), "Invalid extra parameters at the end of command.\n" + usage());
    EXPECT_EQ(cmd(creds + " x"), -1);
    EXPECT_EQ(ch_.error(), "sbtcommand: too many command parameters specified");
}

TEST_F(SbtCommand, NoPasswordReachesTheLogs)
{
    const std::vector<std::string> commands = {
        "creds -s -c a1 -H h -u u -p Secret1A",
        "creds -s -c a2 -H h -u u -pSecret2B",
        "creds -s -c a3 -H h -u u --password Secret3C",
        "creds -s -c a4 -H h -u u --password=Secret4D",
        "creds -c a5 -H h -u u -sp Secret5E",
        "creds -s -c a6 -H h -u u --pass Secret6F",
        "creds -s -c a7 -H h -u u --pa=Secret7G",
        "creds -s -c a1 -H h -u u -p Secret8H",  // fails: already exists
        "creds -g -c a1 -H h -p Secret9I",       // fails: password not allowed
        "creds -s -c a9 -H h -u u -x -p Secret10J",  // fails: unknown option
        "creds -s -c b1 -H h -u u --passwd=Secret11K",  // fails: mistyped option
        "creds -s -c b2 -H h -u u --passwd Secret12L",
        "creds -s -c b3 -H h -u u -P Secret13M",
    };
    for (const auto &c : commands)
        cmd(c);
    EXPECT_EQ(count_creds(store()), 7);

    std::string log = mainlog(), trace = read_file(trace_);
    // The logs were written: the ENTER lines are there, with the password hidden.
    EXPECT_NE(log.find("ENTER rman_pgn_sbtcommand: command creds -s -c a1 -H h -u u -p ****, flags 0"),
              std::string::npos);
    EXPECT_NE(trace.find("ENTER rman_pgn_sbtcommand: command creds -s -c a2 -H h -u u -p****, flags 0"),
              std::string::npos);
    EXPECT_NE(log.find("EXIT rman_pgn_sbtcommand: rc -1 Credentials with id a1"), std::string::npos);
    for (const char *pw : {"Secret1A", "Secret2B", "Secret3C", "Secret4D", "Secret5E", "Secret6F", "Secret7G",
                           "Secret8H", "Secret9I", "Secret10J", "Secret11K", "Secret12L", "Secret13M", "Secret"}) {
        EXPECT_EQ(log.find(pw), std::string::npos) << pw;
        EXPECT_EQ(trace.find(pw), std::string::npos) << pw;
    }
}

TEST(SbtCommandConcurrency, TwoChannelsSetCredentialsIntoOneStore)
{
    clear_backup_env();
    ScopedWindir windir;
    SbtLib lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    Channel a, b;
    ASSERT_EQ(a.init(lib), 0);
    ASSERT_EQ(b.init(lib), 0);
    ASSERT_EQ(a.init2(), 0);
    ASSERT_EQ(b.init2(), 0);
    const std::string store = windir.libdir() + "/creds.xml";
    xmlInitParser();

    auto writer = [&](Channel *ch, int t, int *failures) {
        for (int i = 0; i < 50; i++) {
            std::string c = "creds -s -c id" + std::to_string(i) + " -H host" + std::to_string(t) + " -u user" +
                            std::to_string(i) + " -p pw" + std::to_string(i);
            if (ch->v->command(ch->ctx, 0, c.c_str()) != 0)
                (*failures)++;
            if (count_creds(store) < 1)  // read without any lock: never half-written
                (*failures)++;
        }
    };
    int fa = 0, fb = 0;
    std::thread ta(writer, &a, 0, &fa), tb(writer, &b, 1, &fb);
    ta.join();
    tb.join();
    EXPECT_EQ(fa, 0);
    EXPECT_EQ(fb, 0);
    EXPECT_EQ(count_creds(store), 100);
    for (int t = 0; t < 2; t++) {
        for (int i = 0; i < 50; i++) {
            std::string c = "creds -g -c id" + std::to_string(i) + " -H host" + std::to_string(t);
            EXPECT_EQ(a.v->command(a.ctx, 0, c.c_str()), 0) << c << ": " << a.error();
        }
    }
    a.end();
    b.end();
}
