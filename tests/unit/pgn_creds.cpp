#include "lib/rman/pgn_creds.h"

#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kes_test.h"

namespace {

const char *USAGE_FMT = "Usage: %s [-s|--set|-g|--get|-d|--delete] -c|--cred <cred_id> -H|--host <hostip> "
                        "-u|--user <username> -p|--password <password>\n";

std::string usage(const char *prog = "creds")
{
    char buf[1024];
    snprintf(buf, sizeof buf, USAGE_FMT, prog);
    return buf;
}

struct Result {
    int rc;
    std::string msg;
};

// Splits a command at blanks the way sbtcommand does and runs it.
Result run(const std::string &path, const std::string &command, bool path_known = true)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < command.size()) {
        while (i < command.size() && (command[i] == ' ' || command[i] == '\t'))
            i++;
        size_t s = i;
        while (i < command.size() && command[i] != ' ' && command[i] != '\t')
            i++;
        if (i > s)
            words.push_back(command.substr(s, i - s));
    }
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    char msg[PGN_CREDS_MSG_SIZE];
    memset(msg, 'Z', sizeof msg);
    int rc = pgn_creds_command(path_known ? path.c_str() : nullptr, int(words.size()), argv.data(), msg);
    return {rc, msg};
}

Result lookup(const std::string &path, const char *id, const char *host, rpgn_cred *out = nullptr)
{
    rpgn_cred cred;
    memset(&cred, 0, sizeof cred);
    snprintf(cred.id, sizeof cred.id, "%s", id);
    snprintf(cred.host, sizeof cred.host, "%s", host);
    char msg[PGN_CREDS_MSG_SIZE];
    int rc = rpgn_creds_lookup(path.c_str(), &cred, msg);
    if (out != nullptr)
        *out = cred;
    return {rc, msg};
}

// An independent reading of the store: host ip -> list of (id, user, password),
// in document order; children that are not elements are skipped.
struct Entry {
    std::string ip, id, user, password;
};
bool parse_store(const std::string &path, std::vector<Entry> *entries, int *hosts = nullptr)
{
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return false;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    bool ok = root != nullptr && strcmp((const char *)root->name, "rman_creds") == 0;
    int nhosts = 0;
    for (xmlNodePtr h = ok ? root->children : nullptr; h != nullptr; h = h->next) {
        if (h->type != XML_ELEMENT_NODE)
            continue;
        nhosts++;
        xmlChar *ip = xmlGetProp(h, (const xmlChar *)"ip");
        for (xmlNodePtr c = h->children; c != nullptr; c = c->next) {
            if (c->type != XML_ELEMENT_NODE)
                continue;
            Entry e;
            e.ip = ip ? (const char *)ip : "";
            xmlChar *id = xmlGetProp(c, (const xmlChar *)"id");
            e.id = id ? (const char *)id : "";
            xmlFree(id);
            for (xmlNodePtr f = c->children; f != nullptr; f = f->next) {
                if (f->type != XML_ELEMENT_NODE)
                    continue;
                xmlChar *t = xmlNodeGetContent(f);
                (strcmp((const char *)f->name, "user") == 0 ? e.user : e.password) = (const char *)t;
                xmlFree(t);
            }
            entries->push_back(e);
        }
        xmlFree(ip);
    }
    xmlFreeDoc(doc);
    if (hosts != nullptr)
        *hosts = nhosts;
    return ok;
}

mode_t file_mode(const std::string &path)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        return 0;
    return sb.st_mode & 07777;
}

// A hand-made store, private as the library wants it.
void write_store(const std::string &path, const std::string &data)
{
    kes_test::write_file(path, data);
    chmod(path.c_str(), 0600);
}

class CredsTest : public ::testing::Test {
protected:
    kes_test::TempDir dir;
    std::string store = dir / "creds.xml";
    void SetUp() override { unsetenv("POSIXLY_CORRECT"); }
};

}  // namespace

// ------------------------------------------------------------ the actions

TEST_F(CredsTest, StoreOthersCouldReadOrReplaceIsRefusedWithTheFix)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    const std::string before = kes_test::read_file(store);
    for (mode_t mode : {0644, 0640, 0604, 0620}) {
        chmod(store.c_str(), mode);
        char want[512];
        snprintf(want, sizeof want,
                 "Credentials file %s can be read or changed by other users (mode %04o); make it private with: "
                 "chmod 600 %s\n",
                 store.c_str(), static_cast<unsigned>(mode), store.c_str());
        Result r = lookup(store, "a", "h");
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.msg, want);
        r = run(store, "creds -d -c a -H h");
        EXPECT_EQ(r.msg, want + usage());
        EXPECT_EQ(file_mode(store), mode) << "the refused store is left as it is";
    }
    EXPECT_EQ(kes_test::read_file(store), before);
    chmod(store.c_str(), 0600);
    EXPECT_EQ(lookup(store, "a", "h").rc, 0);

    // Another user's store, and a store reached through a link.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(store.c_str(), 4242, 4242), 0);
        Result r = lookup(store, "a", "h");
        EXPECT_EQ(r.msg, "Credentials file " + store +
                             " is owned by user 4242, not by this process's user 0; give it to that user with "
                             "chown, or remove it and store the credentials again\n");
        ASSERT_EQ(chown(store.c_str(), 0, 0), 0);
    }
    std::string real = dir / "real.xml";
    ASSERT_EQ(rename(store.c_str(), real.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), store.c_str()), 0);
    Result r = lookup(store, "a", "h");
    EXPECT_EQ(r.msg, "Credentials file " + store + " is a symbolic link; replace it with the file itself\n");
    EXPECT_EQ(run(store, "creds -s -c b -H h -u u -p p").rc, -1);
    EXPECT_EQ(kes_test::read_file(real), before) << "nothing is written through the link";
}

TEST_F(CredsTest, NewStoreAndItsLockArePrivateUnderAnyUmask)
{
    mode_t old = umask(0);
    Result r = run(store, "creds -s -c a -H h -u u -p p");
    std::string lock = store + ".lock";
    std::string planted = dir / "planted";
    umask(old);
    EXPECT_EQ(r.rc, 0) << r.msg;
    EXPECT_EQ(file_mode(store), 0600u);
    EXPECT_EQ(file_mode(lock), 0600u);
    // The lock file is never opened through a link someone planted.
    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(symlink(planted.c_str(), lock.c_str()), 0);
    r = run(store, "creds -g -c a -H h");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "Failed to lock file " + store + ".lock\n" + usage());
    EXPECT_NE(access(planted.c_str(), F_OK), 0);
}

TEST_F(CredsTest, SetOnMissingStoreCreatesPrivateFileWithOneHostAndCred)
{
    Result r = run(store, "creds -s -c cr1 -H 10.0.0.1 -u alice -p s3cret");
    EXPECT_EQ(r.rc, 0) << r.msg;
    EXPECT_EQ(r.msg, "");
    EXPECT_EQ(file_mode(store), 0600u);

    std::vector<Entry> e;
    int hosts = 0;
    ASSERT_TRUE(parse_store(store, &e, &hosts));
    EXPECT_EQ(hosts, 1);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].ip, "10.0.0.1");
    EXPECT_EQ(e[0].id, "cr1");
    EXPECT_EQ(e[0].user, "alice");
    EXPECT_EQ(e[0].password, "s3cret");

    // Only the store and its lock file are left; no temporary file.
    int files = 0;
    for (auto &ent : std::filesystem::directory_iterator(dir.path())) {
        std::string n = ent.path().filename().string();
        EXPECT_TRUE(n == "creds.xml" || n == "creds.xml.lock") << n;
        files++;
    }
    EXPECT_EQ(files, 2);
}

TEST_F(CredsTest, SetTwiceFailsWithExistsMessageAndUsage)
{
    ASSERT_EQ(run(store, "creds -s -c cr1 -H h1 -u alice -p pw").rc, 0);
    Result r = run(store, "creds -s -c cr1 -H h1 -u bob -p other");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "Credentials with id cr1 for host h1 already exist.\n" + usage());
    rpgn_cred c;
    ASSERT_EQ(lookup(store, "cr1", "h1", &c).rc, 0);
    EXPECT_STREQ(c.user, "alice");
}

TEST_F(CredsTest, SetAddsToExistingHostAndNewHosts)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h1 -u ua -p pa").rc, 0);
    ASSERT_EQ(run(store, "creds -s -c b -H h1 -u ub -p pb").rc, 0);
    ASSERT_EQ(run(store, "creds -s -c a -H h2 -u uc -p pc").rc, 0);
    std::vector<Entry> e;
    int hosts = 0;
    ASSERT_TRUE(parse_store(store, &e, &hosts));
    EXPECT_EQ(hosts, 2);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1].ip + "/" + e[1].id + "/" + e[1].user, "h1/b/ub");
    EXPECT_EQ(e[2].ip + "/" + e[2].id + "/" + e[2].password, "h2/a/pc");

    rpgn_cred c;
    ASSERT_EQ(lookup(store, "a", "h2", &c).rc, 0);
    EXPECT_STREQ(c.user, "uc");
    EXPECT_STREQ(c.password, "pc");
    EXPECT_STREQ(c.id, "a");
    EXPECT_STREQ(c.host, "h2");
    EXPECT_EQ(run(store, "creds -g -c b -H h1").rc, 0);
}

TEST_F(CredsTest, ValuesWithMarkupCharactersAreStoredAsGiven)
{
    const std::string pw = "p&amp;w<x>'\"\xc3\xa9";
    ASSERT_EQ(run(store, "creds -s -c id&1 -H h<1> -u \"u\" -p " + pw).rc, 0);
    rpgn_cred c;
    Result r = lookup(store, "id&1", "h<1>", &c);
    ASSERT_EQ(r.rc, 0) << r.msg;
    EXPECT_EQ(std::string(c.password), pw);
    EXPECT_STREQ(c.user, "\"u\"");
    std::vector<Entry> e;
    ASSERT_TRUE(parse_store(store, &e));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].password, pw);
}

TEST_F(CredsTest, ValuesThatCannotBeStoredAreRefusedAndStoreStaysIntact)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    Result r = run(store, "creds -s -c b -H h -u u -p bad\x01pw");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "The password value holds characters that cannot be stored\n" + usage());
    r = run(store, "creds -s -c b -H h -u \xff\xfe -p pw");
    EXPECT_EQ(r.msg, "The user value holds characters that cannot be stored\n" + usage());
    std::vector<Entry> e;
    ASSERT_TRUE(parse_store(store, &e));
    EXPECT_EQ(e.size(), 1u);
}

TEST_F(CredsTest, GetChecksTheCredentialWithoutShowingIt)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    Result r = run(store, "creds --get --cred a --host h");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.msg, "");
    r = run(store, "creds -g -c nope -H h");
    EXPECT_EQ(r.msg, "Requested credentials are not found.\n" + usage());
    r = run(store, "creds -g -c a -H other");
    EXPECT_EQ(r.msg, "Requested credentials are not found.\n" + usage());
}

TEST_F(CredsTest, DeleteLeavesAnEmptyHostAndKeepsTheFilePrivate)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    ASSERT_EQ(run(store, "creds -s -c b -H h2 -u u -p p").rc, 0);
    Result r = run(store, "creds -d -c a -H h");
    EXPECT_EQ(r.rc, 0) << r.msg;
    EXPECT_EQ(file_mode(store), 0600u);
    std::vector<Entry> e;
    int hosts = 0;
    ASSERT_TRUE(parse_store(store, &e, &hosts));
    EXPECT_EQ(hosts, 2);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].id, "b");
    EXPECT_NE(kes_test::read_file(store).find("<host ip=\"h\"/>"), std::string::npos);

    r = run(store, "creds -d -c a -H h");
    EXPECT_EQ(r.msg, "Requested credentials are not found.\n" + usage());
    EXPECT_EQ(lookup(store, "a", "h").msg, "Requested credentials are not found.\n");
}

TEST_F(CredsTest, CreateEmptyReplacesTheStore)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    EXPECT_EQ(run(store, "creds --create_empty").rc, 0);
    std::vector<Entry> e;
    int hosts = -1;
    ASSERT_TRUE(parse_store(store, &e, &hosts));
    EXPECT_EQ(hosts, 0);
    EXPECT_EQ(file_mode(store), 0600u);

    Result r = run(store, "creds -C foo");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "Invalid extra parameters at the end of command.\n" + usage());
}

TEST_F(CredsTest, LookupAndGetCreateAMissingStore)
{
    Result r = lookup(store, "a", "h");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "Requested credentials are not found.\n");
    EXPECT_EQ(file_mode(store), 0600u);

    r = lookup(dir / "no/such/dir/creds.xml", "a", "h");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, "Failed to lock file " + (dir / "no/such/dir/creds.xml") + ".lock\n");
}

// ------------------------------------------------------------ checks and messages

TEST_F(CredsTest, OptionChecksInOrder)
{
    struct {
        const char *cmd;
        const char *msg;
    } cases[] = {
        {"creds", "action must be specified\n"},
        {"creds -c a -H h", "action must be specified\n"},
        {"creds -s", "Credential name must be specified\n"},
        {"creds -g -H h -u u", "Credential name must be specified\n"},
        {"creds -d -c a", "Backup host name must be specified\n"},
        {"creds -s -c a -H h -u u", "User name and password must be specified when setting credentials\n"},
        {"creds -s -c a -H h -p p", "User name and password must be specified when setting credentials\n"},
        {"creds -g -c a -H h -u u", "User name and password must not be specified when not setting credentials\n"},
        {"creds -d -c a -H h -p p", "User name and password must not be specified when not setting credentials\n"},
        {"creds -x -s", "Unknown option ?.\n"},
        {"creds -s -c", "Unknown option ?.\n"},
        {"creds --c a -g", "Unknown option ?.\n"},
        {"creds -g -c a -H h extra", "Invalid extra parameters at the end of command.\n"},
    };
    for (auto &c : cases) {
        Result r = run(store, c.cmd);
        EXPECT_EQ(r.rc, -1) << c.cmd;
        EXPECT_EQ(r.msg, std::string(c.msg) + usage()) << c.cmd;
    }
    // None of these touched the store.
    EXPECT_FALSE(std::filesystem::exists(store));

    Result r = run(store, "creds -g -c a -H h", false);
    EXPECT_EQ(r.msg, "Internal error. Credentials filename is not set.\n" + usage());
}

TEST_F(CredsTest, HelpGivesOnlyTheUsageText)
{
    Result r = run(store, "mycreds -h");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.msg, usage("mycreds"));
    // Help ends the command before any check.
    r = run(store, "creds -s --help -c a");
    EXPECT_EQ(r.msg, usage());
    EXPECT_FALSE(std::filesystem::exists(store));
}

TEST_F(CredsTest, LongPrefixesAndLastActionWins)
{
    EXPECT_EQ(run(store, "creds --se --cr=x -H h -u u -p p").msg, "Unknown option ?.\n" + usage());
    Result r = run(store, "creds --se --cred=x --ho h --us u --pass p");
    EXPECT_EQ(r.rc, 0) << r.msg;
    EXPECT_EQ(run(store, "creds -s -d -g -c x -H h").rc, 0);  // get wins
    r = run(store, "creds -g -s -c x -H h");                  // set wins, without user
    EXPECT_EQ(r.msg, "User name and password must be specified when setting credentials\n" + usage());
}

TEST_F(CredsTest, OptionsAfterNonOptionsDependOnPosixOrder)
{
    ASSERT_EQ(run(store, "creds -s -c a -H h -u u -p p").rc, 0);
    EXPECT_EQ(run(store, "creds -g junk -c a -H h").msg, "Invalid extra parameters at the end of command.\n" + usage());
    setenv("POSIXLY_CORRECT", "1", 1);
    EXPECT_EQ(run(store, "creds -g junk -c a -H h").msg, "Credential name must be specified\n" + usage());
    unsetenv("POSIXLY_CORRECT");
    // "--" ends the options: what follows is extra.
    EXPECT_EQ(run(store, "creds -g -c a -- -H h").msg, "Backup host name must be specified\n" + usage());
}

TEST_F(CredsTest, EachCommandReportsOnlyItsOwnMessage)
{
    Result r1 = run(store, "creds -s -c a");
    Result r2 = run(store, "creds -g");
    EXPECT_EQ(r1.msg, "Backup host name must be specified\n" + usage());
    EXPECT_EQ(r2.msg, "Credential name must be specified\n" + usage());
    Result r3 = run(store, "creds -g -c a -H h");
    Result r4 = lookup(store, "a", "h");
    EXPECT_EQ(r3.msg, "Requested credentials are not found.\n" + usage());
    EXPECT_EQ(r4.msg, "Requested credentials are not found.\n");
    // And success leaves no message behind.
    EXPECT_EQ(run(store, "creds -s -c a -H h -u u -p p").msg, "");
}

TEST(CredsMessages, AccumulatorCutsAndThenDrops)
{
    pgn_msgbuf m;
    pgn_msg_init(&m);
    pgn_msg_add(&m, "%s", std::string(1000, 'a').c_str());
    pgn_msg_add(&m, "%s", std::string(100, 'b').c_str());
    EXPECT_EQ(m.len, 1023u);
    EXPECT_EQ(std::string(m.text), std::string(1000, 'a') + std::string(23, 'b'));
    pgn_msg_add(&m, "more");
    EXPECT_EQ(strlen(m.text), 1023u);

    // A long command name cuts the usage text to the room that is left.
    std::string prog(2000, 'n');
    std::vector<char *> argv = {prog.data(), const_cast<char *>("-h"), nullptr};
    char msg[PGN_CREDS_MSG_SIZE];
    EXPECT_EQ(pgn_creds_command("/nonexistent/creds.xml", 2, argv.data(), msg), -1);
    EXPECT_EQ(strlen(msg), 1023u);
    EXPECT_EQ(std::string(msg, 8), "Usage: n");
}

// ------------------------------------------------------------ hostile stores

TEST_F(CredsTest, StoreWithAnotherRootFailsEveryAction)
{
    write_store(store, "<?xml version=\"1.0\"?>\n<other><host ip=\"h\"/></other>\n");
    const std::string m = "Wrong creds file\n" + usage();
    EXPECT_EQ(run(store, "creds -g -c a -H h").msg, m);
    EXPECT_EQ(run(store, "creds -s -c a -H h -u u -p p").msg, m);
    EXPECT_EQ(run(store, "creds -d -c a -H h").msg, m);
    EXPECT_EQ(lookup(store, "a", "h").msg, "Wrong creds file\n");
    EXPECT_NE(kes_test::read_file(store).find("<other>"), std::string::npos);  // left alone
}

TEST_F(CredsTest, MalformedContentsAreReported)
{
    const std::string head = "<?xml version=\"1.0\"?>\n<rman_creds>";
    struct {
        std::string body;
        std::string msg;
    } cases[] = {
        {"<foo/>", "Wrong contents of the creds file, unexpected foo node\n"},
        {"<host/>", "Wrong contents of the creds file, host node without an attribute.\n"},
        {"<host ip=\"h\"><x/></host>", "Wrong contents of the creds file, unexpected x node\n"},
        {"<host ip=\"h\"><cred/></host>", "Wrong contents of the creds file, cred node without an attribute.\n"},
        {"<host ip=\"h\"><cred id=\"a\"><user>u</user><pw/></cred></host>",
         "Wrong contents of the creds file, unexpected pw node\n"},
        {"<host ip=\"h\"><cred id=\"a\"><password>p</password></cred></host>", "User name is missing for cred a\n"},
        {"<host ip=\"h\"><cred id=\"a\"><user>u</user></cred></host>", "Password is missing for cred a\n"},
        {"<host ip=\"h\"><cred id=\"a\"><user>u</user><password></password></cred></host>",
         "Password is missing for cred a\n"},
    };
    for (auto &c : cases) {
        write_store(store, head + c.body + "</rman_creds>\n");
        Result r = lookup(store, "a", "h");
        EXPECT_EQ(r.rc, -1) << c.body;
        EXPECT_EQ(r.msg, c.msg) << c.body;
    }
    // Comments, blanks and text between elements are skipped; the first match wins.
    write_store(store, head +
                                    "<!-- c --> text <host ip=\"h\">\n <cred id=\"a\"><user>u1</user><!-- x -->"
                                    "<password><![CDATA[p<1]]></password></cred><cred id=\"a\"/></host></rman_creds>");
    rpgn_cred c;
    Result r = lookup(store, "a", "h", &c);
    EXPECT_EQ(r.rc, 0) << r.msg;
    EXPECT_STREQ(c.user, "u1");
    EXPECT_STREQ(c.password, "p<1");
}

TEST_F(CredsTest, UnparsableAndHostileFilesFailCleanly)
{
    const std::string parse_msg = "Failed to parse file " + store + "\n";
    std::string deep;
    for (int i = 0; i < 5000; i++)
        deep += "<a>";
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE rman_creds [<!ENTITY a \"aaaaaaaaaa\">"
                         "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
                         "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]>"
                         "<rman_creds><host ip=\"h\"><cred id=\"a\"><user>&e;&e;&e;&e;</user><password>p</password>"
                         "</cred></host></rman_creds>";
    std::string external = "<?xml version=\"1.0\"?><!DOCTYPE rman_creds SYSTEM \"http://127.0.0.1:9/x.dtd\">"
                           "<rman_creds/>";
    std::string huge = "<rman_creds>" + std::string(PGN_CREDS_MAX_FILE, ' ') + "</rman_creds>";
    for (const std::string &body : {std::string(), std::string("not xml at all"), std::string("<rman_creds>"),
                                     deep, laughs, external, huge}) {
        write_store(store, body);
        Result r = lookup(store, "a", "h");
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.msg, parse_msg) << body.substr(0, 60);
        EXPECT_EQ(run(store, "creds -s -c a -H h -u u -p p").msg, parse_msg + usage());
    }
    EXPECT_EQ(std::filesystem::file_size(store), huge.size());  // never rewritten

    std::filesystem::remove(store);
    std::filesystem::create_directory(store);
    EXPECT_EQ(lookup(store, "a", "h").msg, "Failed to access file " + store + "\n");
}

TEST_F(CredsTest, LongStoredValuesAreCutToTheField)
{
    std::string longv(10000, 'x');
    write_store(store, "<rman_creds><host ip=\"h\"><cred id=\"a\"><user>" + longv + "</user><password>" +
                                    longv + "</password></cred></host></rman_creds>");
    rpgn_cred c;
    ASSERT_EQ(lookup(store, "a", "h", &c).rc, 0);
    EXPECT_EQ(std::string(c.user), std::string(63, 'x'));
    EXPECT_EQ(std::string(c.password), std::string(63, 'x'));
}

// ------------------------------------------------------------ masking for logs

TEST(CredsMask, PasswordArgumentsAreHidden)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"creds -s -c a -H h -u u -p secret", "creds -s -c a -H h -u u -p ****"},
        {"creds -psecret", "creds -p****"},
        {"creds\t-sp  secret -c a", "creds\t-sp  **** -c a"},
        {"creds -sdpsecret", "creds -sdp****"},
        {"creds --password secret", "creds --password ****"},
        {"creds --password=secret", "creds --password=****"},
        {"creds --pass secret --p=x2", "creds --pass **** --p=****"},
        {"creds -cp x -u p", "creds -cp x -u p"},  // "p" is the argument of -c
        {"creds -p -p -s", "creds -p **** -s"},
        {"creds --passwordx y", "creds --passwordx ****"},
        // Misspelt or unknown options may carry a password too.
        {"creds --passwd=secret -c a", "creds --passwd=**** -c a"},
        {"creds --passwd secret -c a", "creds --passwd **** -c a"},
        {"creds --pwd -p secret", "creds --pwd -p ****"},
        {"creds -P secret -s", "creds -P **** -s"},
        {"creds -sPsecret", "creds -sP****"},
        {"creds -x -p secret", "creds -x -p ****"},
        {"creds --user=u --host h --cred=c -g", "creds --user=u --host h --cred=c -g"},
        {"creds -p", "creds -p"},
        {"", ""},
    };
    for (auto &c : cases) {
        char out[256];
        pgn_creds_mask(c.in, out, sizeof out);
        EXPECT_STREQ(out, c.out) << c.in;
    }
    char small[8];
    pgn_creds_mask("creds -p secret", small, sizeof small);
    EXPECT_STREQ(small, "creds -");
}
