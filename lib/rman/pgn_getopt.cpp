#include "lib/rman/pgn_getopt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "datamover/util.h"

void pgn_getopt_init(pgn_getopt *st, bool posix)
{
    st->optind = 1;
    st->optarg = nullptr;
    st->optopt = 0;
    st->longindex = -1;
    st->nextchar = nullptr;
    st->first_nonopt = 1;
    st->last_nonopt = 1;
    st->posix = posix;
}

bool pgn_getopt_posix_env()
{
    std::lock_guard<std::mutex> g(util_env_lock());
    return getenv("POSIXLY_CORRECT") != nullptr;
}

namespace {

bool is_nonoption(const char *word)
{
    return word[0] != '-' || word[1] == '\0';
}

// Moves the skipped non-option words [first_nonopt, last_nonopt) behind the
// option words [last_nonopt, optind) that were parsed since.
void exchange(pgn_getopt *st, char **argv)
{
    std::rotate(argv + st->first_nonopt, argv + st->last_nonopt, argv + st->optind);
    st->first_nonopt += st->optind - st->last_nonopt;
    st->last_nonopt = st->optind;
}

int missing_arg(bool colon)
{
    return colon ? ':' : '?';
}

// Parses the long option in argv[optind] (after its "--").
int parse_long(pgn_getopt *st, int argc, char **argv, const pgn_option *longopts, bool colon)
{
    const char *name = argv[st->optind] + 2;
    const char *eq = strchr(name, '=');
    size_t namelen = eq != nullptr ? size_t(eq - name) : strlen(name);
    st->optind++;
    st->optopt = 0;

    int found = -1;
    bool ambiguous = false;
    for (int i = 0; longopts != nullptr && longopts[i].name != nullptr; i++) {
        const pgn_option &o = longopts[i];
        if (strncmp(o.name, name, namelen) != 0)
            continue;
        if (strlen(o.name) == namelen) {  // exact match
            found = i;
            ambiguous = false;
            break;
        }
        if (found < 0) {
            found = i;
        } else if (longopts[found].has_arg != o.has_arg || longopts[found].val != o.val) {
            ambiguous = true;  // keep looking: an exact match may still follow
        }
    }
    if (found < 0 || ambiguous)
        return '?';

    const pgn_option &o = longopts[found];
    st->longindex = found;
    st->optopt = o.val;
    if (eq != nullptr) {
        if (o.has_arg == PGN_NO_ARGUMENT)
            return '?';
        st->optarg = eq + 1;
    } else if (o.has_arg == PGN_REQUIRED_ARGUMENT) {
        if (st->optind >= argc)
            return missing_arg(colon);
        st->optarg = argv[st->optind++];
    }
    return o.val;
}

}  // namespace

int pgn_getopt_long(pgn_getopt *st, int argc, char **argv, const char *optstring, const pgn_option *longopts)
{
    st->optarg = nullptr;
    st->longindex = -1;
    if (optstring == nullptr)
        optstring = "";
    bool posix = st->posix;
    if (*optstring == '+') {
        posix = true;
        optstring++;
    }
    bool colon = *optstring == ':';
    if (colon)
        optstring++;
    if (st->optind < 1)
        st->optind = 1;

    if (st->nextchar == nullptr || *st->nextchar == '\0') {
        st->nextchar = nullptr;
        if (st->last_nonopt > st->optind)
            st->last_nonopt = st->optind;
        if (st->first_nonopt > st->optind)
            st->first_nonopt = st->optind;

        if (!posix) {
            if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
                exchange(st, argv);
            else if (st->last_nonopt != st->optind)
                st->first_nonopt = st->optind;
            while (st->optind < argc && is_nonoption(argv[st->optind]))
                st->optind++;
            st->last_nonopt = st->optind;
        }

        if (st->optind < argc && strcmp(argv[st->optind], "--") == 0) {
            st->optind++;
            if (st->first_nonopt != st->last_nonopt && st->last_nonopt != st->optind)
                exchange(st, argv);
            else if (st->first_nonopt == st->last_nonopt)
                st->first_nonopt = st->optind;
            st->last_nonopt = argc;
            st->optind = argc;
        }

        if (st->optind >= argc) {
            if (st->first_nonopt != st->last_nonopt)
                st->optind = st->first_nonopt;
            return -1;
        }
        if (is_nonoption(argv[st->optind]))
            return -1;  // only reached in POSIX order

        if (argv[st->optind][1] == '-')
            return parse_long(st, argc, argv, longopts, colon);
        st->nextchar = argv[st->optind] + 1;
    }

    // One character of a group of short options.
    char c = *st->nextchar++;
    const char *spec = c != ':' ? strchr(optstring, c) : nullptr;
    bool last_in_word = *st->nextchar == '\0';
    st->optopt = (unsigned char)c;
    if (spec == nullptr) {
        if (last_in_word) {
            st->nextchar = nullptr;
            st->optind++;
        }
        return '?';
    }
    if (spec[1] != ':') {
        if (last_in_word) {
            st->nextchar = nullptr;
            st->optind++;
        }
        return (unsigned char)c;
    }
    bool optional = spec[2] == ':';
    if (!last_in_word) {
        st->optarg = st->nextchar;
        st->optind++;
    } else if (optional) {
        st->optind++;
    } else if (st->optind + 1 < argc) {
        st->optarg = argv[st->optind + 1];
        st->optind += 2;
    } else {
        st->optind++;
        st->nextchar = nullptr;
        return missing_arg(colon);
    }
    st->nextchar = nullptr;
    return (unsigned char)c;
}
