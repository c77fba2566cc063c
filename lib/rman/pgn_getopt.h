// A getopt_long-style option parser that keeps all of its state in a record
// owned by the caller, so that several channels can parse commands at the
// same time on different threads.
//
// Behaviour:
//  - argv[0] (the command name) is never parsed; parsing starts at argv[1].
//  - Short options may be grouped ("-sd"); an option that takes an argument
//    takes the rest of its word ("-cX") or, when that is empty, the next word.
//  - Long options start with "--", take their argument after "=" or from the
//    next word, and may be shortened to any unambiguous prefix ("--se" for
//    "--set"). An exact name always wins over longer names it is a prefix of.
//  - "--" ends the options.
//  - Words that are not options are moved behind the options (argv is
//    permuted in place) unless POSIX order is asked for, either through the
//    posix argument of pgn_getopt_init or by an optstring starting with "+";
//    then parsing stops at the first word that is not an option.
//  - Nothing is printed.
//  - An unknown or ambiguous option, or an argument given to a long option
//    that takes none, returns '?'. A missing required argument returns ':'
//    when optstring (after an optional "+") starts with ':', otherwise '?',
//    exactly as getopt does. The option character concerned is in optopt
//    (0 for an unknown or ambiguous long option).
//  - When pgn_getopt_long returns -1, optind is the index of the first word
//    that was not parsed; with permutation the non-option words are then
//    argv[optind] .. argv[argc-1].
#pragma once

enum : int {
    PGN_NO_ARGUMENT = 0,
    PGN_REQUIRED_ARGUMENT = 1,
    PGN_OPTIONAL_ARGUMENT = 2,  // only joined: "-xVAL" or "--name=VAL"
};

// One long option. A table ends with an entry whose name is null.
struct pgn_option {
    const char *name;
    int has_arg;
    int val;  // returned when the option is found
};

struct pgn_getopt {
    // Results, read by the caller.
    int optind;          // next word to look at; the first unparsed word after -1
    const char *optarg;  // argument of the last option, or null
    int optopt;          // option character of the last error
    int longindex;       // table index of the last long option found, or -1

    // Parser state.
    const char *nextchar;  // rest of a word of grouped short options
    int first_nonopt;      // skipped non-option words: [first_nonopt, last_nonopt)
    int last_nonopt;
    bool posix;            // stop at the first non-option word
};

// Prepares a parser record for one command. posix asks for POSIX order;
// pgn_getopt_posix_env() tells whether the environment asks for it.
void pgn_getopt_init(pgn_getopt *st, bool posix);
bool pgn_getopt_posix_env();

// Returns the next option's value, '?' or ':' on errors (see above), or -1
// when the options are done. argv is permuted in place.
int pgn_getopt_long(pgn_getopt *st, int argc, char **argv, const char *optstring, const pgn_option *longopts);
