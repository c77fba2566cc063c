#include "lib/rman/pgn_getopt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const pgn_option OPTS[] = {
    {"set", PGN_NO_ARGUMENT, 's'},        {"get", PGN_NO_ARGUMENT, 'g'},
    {"delete", PGN_NO_ARGUMENT, 'd'},     {"create_empty", PGN_NO_ARGUMENT, 'C'},
    {"help", PGN_NO_ARGUMENT, 'h'},       {"cred", PGN_REQUIRED_ARGUMENT, 'c'},
    {"host", PGN_REQUIRED_ARGUMENT, 'H'}, {"user", PGN_REQUIRED_ARGUMENT, 'u'},
    {"password", PGN_REQUIRED_ARGUMENT, 'p'}, {nullptr, 0, 0},
};
const char SHORT[] = "hgsdCc:H:u:p:";

// Owns a word list and the pointer array the parser permutes.
struct Args {
    std::vector<std::string> words;
    std::vector<char *> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w))
    {
        for (auto &s : words)
            argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int argc() const { return int(words.size()); }
    std::vector<std::string> from(int i) const
    {
        std::vector<std::string> out;
        for (; i < argc(); i++)
            out.emplace_back(argv[i]);
        return out;
    }
};

// Runs the parser to the end and records each result as "c" or "c=arg".
std::vector<std::string> parse_all(pgn_getopt *st, Args &a, const char *optstring = SHORT)
{
    std::vector<std::string> out;
    int c;
    while ((c = pgn_getopt_long(st, a.argc(), a.argv.data(), optstring, OPTS)) != -1) {
        std::string r(1, char(c));
        if (st->optarg != nullptr)
            r += "=" + std::string(st->optarg);
        out.push_back(r);
    }
    return out;
}

using V = std::vector<std::string>;

}  // namespace

TEST(GetoptShort, GroupedOptionsAndArgumentsJoinedOrNext)
{
    Args a({"creds", "-sgc", "id1", "-Hhost1", "-u", "bob", "-dpX"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, a), (V{"s", "g", "c=id1", "H=host1", "u=bob", "d", "p=X"}));
    EXPECT_EQ(st.optind, 7);
}

TEST(GetoptShort, ArgumentMayLookLikeAnOption)
{
    Args a({"creds", "-c", "-s", "-p", "--"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, a), (V{"c=-s", "p=--"}));
    EXPECT_EQ(st.optind, 5);
}

TEST(GetoptShort, UnknownAndMissingArgument)
{
    Args a({"creds", "-sx", "-c"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), 's');
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), '?');
    EXPECT_EQ(st.optopt, 'x');
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), '?');
    EXPECT_EQ(st.optopt, 'c');
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), -1);
    EXPECT_EQ(st.optind, 3);

    // A leading ':' asks for ':' on a missing argument, as getopt does.
    Args b({"creds", "-H"});
    pgn_getopt_init(&st, false);
    EXPECT_EQ(pgn_getopt_long(&st, b.argc(), b.argv.data(), ":hgsdCc:H:u:p:", OPTS), ':');
    EXPECT_EQ(st.optopt, 'H');
    // ':' itself is never an option character.
    Args c({"creds", "-:"});
    pgn_getopt_init(&st, false);
    EXPECT_EQ(pgn_getopt_long(&st, c.argc(), c.argv.data(), SHORT, OPTS), '?');
}

TEST(GetoptLong, ArgumentsAfterEqualsOrInNextWord)
{
    Args a({"creds", "--cred=a=b", "--host", "h1", "--password=", "--get"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, a), (V{"c=a=b", "H=h1", "p=", "g"}));
    EXPECT_EQ(st.optind, 6);
}

TEST(GetoptLong, UnambiguousPrefixesAndAmbiguity)
{
    Args a({"creds", "--se", "--de", "--cr", "--cre", "--crea", "--c", "--h", "--he", "--p", "x"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    // "--cr" and "--cre" still match both cred and create_empty.
    EXPECT_EQ(parse_all(&st, a), (V{"s", "d", "?", "?", "C", "?", "?", "h", "p=x"}));
}

TEST(GetoptLong, ExactNameBeatsLongerNames)
{
    const pgn_option opts[] = {{"abcd", PGN_NO_ARGUMENT, 'x'}, {"abc", PGN_NO_ARGUMENT, 'y'}, {nullptr, 0, 0}};
    Args a({"cmd", "--abc", "--ab", "--abcd"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    int argc = a.argc();
    char **argv = a.argv.data();
    EXPECT_EQ(pgn_getopt_long(&st, argc, argv, "", opts), 'y');
    EXPECT_EQ(pgn_getopt_long(&st, argc, argv, "", opts), '?');
    EXPECT_EQ(st.optopt, 0);
    EXPECT_EQ(pgn_getopt_long(&st, argc, argv, "", opts), 'x');
}

TEST(GetoptLong, ErrorsInLongOptions)
{
    Args a({"creds", "--bogus", "--set=1", "--user"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), '?');
    EXPECT_EQ(st.optopt, 0);
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), '?');  // takes no argument
    EXPECT_EQ(st.optopt, 's');
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), '?');  // missing argument
    EXPECT_EQ(st.optopt, 'u');
    EXPECT_EQ(pgn_getopt_long(&st, a.argc(), a.argv.data(), SHORT, OPTS), -1);
    EXPECT_EQ(st.optind, 4);
}

TEST(GetoptOrder, NonOptionsAreMovedBehindTheOptions)
{
    Args a({"creds", "one", "-s", "two", "three", "-c", "id", "-", "-H", "h", "four"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, a), (V{"s", "c=id", "H=h"}));
    EXPECT_EQ(st.optind, 6);
    EXPECT_EQ(a.from(1), (V{"-s", "-c", "id", "-H", "h", "one", "two", "three", "-", "four"}));
}

TEST(GetoptOrder, DoubleDashEndsOptions)
{
    Args a({"creds", "one", "-s", "--", "-g", "two"});
    pgn_getopt st;
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, a), (V{"s"}));
    EXPECT_EQ(a.from(st.optind), (V{"one", "-g", "two"}));

    Args b({"creds", "-s", "--"});
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, b), (V{"s"}));
    EXPECT_EQ(st.optind, 3);  // nothing left over
}

TEST(GetoptOrder, PosixOrderStopsAtFirstNonOption)
{
    Args a({"creds", "-s", "one", "-c", "id"});
    pgn_getopt st;
    pgn_getopt_init(&st, true);
    EXPECT_EQ(parse_all(&st, a), (V{"s"}));
    EXPECT_EQ(st.optind, 2);
    EXPECT_EQ(a.from(1), (V{"-s", "one", "-c", "id"}));

    Args b({"creds", "-s", "one", "-c", "id"});
    pgn_getopt_init(&st, false);
    EXPECT_EQ(parse_all(&st, b, "+hgsdCc:H:u:p:"), (V{"s"}));
    EXPECT_EQ(st.optind, 2);
}

TEST(GetoptOrder, EnvironmentSelectsPosixOrder)
{
    unsetenv("POSIXLY_CORRECT");
    EXPECT_FALSE(pgn_getopt_posix_env());
    setenv("POSIXLY_CORRECT", "", 1);
    EXPECT_TRUE(pgn_getopt_posix_env());
    unsetenv("POSIXLY_CORRECT");
}

TEST(GetoptState, TwoParsersInterleaveWithoutDisturbingEachOther)
{
    Args a({"creds", "x", "-sgc", "id", "y"});
    Args b({"creds", "-dH", "h2", "z", "--user=u"});
    pgn_getopt sa, sb;
    pgn_getopt_init(&sa, false);
    pgn_getopt_init(&sb, false);
    V ra, rb;
    for (;;) {
        int ca = pgn_getopt_long(&sa, a.argc(), a.argv.data(), SHORT, OPTS);
        if (ca != -1)
            ra.push_back(std::string(1, char(ca)) + (sa.optarg ? "=" + std::string(sa.optarg) : ""));
        int cb = pgn_getopt_long(&sb, b.argc(), b.argv.data(), SHORT, OPTS);
        if (cb != -1)
            rb.push_back(std::string(1, char(cb)) + (sb.optarg ? "=" + std::string(sb.optarg) : ""));
        if (ca == -1 && cb == -1)
            break;
    }
    EXPECT_EQ(ra, (V{"s", "g", "c=id"}));
    EXPECT_EQ(rb, (V{"d", "H=h2", "u=u"}));
    EXPECT_EQ(a.from(sa.optind), (V{"x", "y"}));
    EXPECT_EQ(b.from(sb.optind), (V{"z"}));
}
