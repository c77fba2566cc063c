// The appliance's configuration file: KEY = VALUE lines, where every key is
// the long name of a command-line switch without its leading dashes
// ("users-file = /etc/kestralon/users" is "--users-file=/etc/kestralon/users").
// Lines whose first non-blank character is '#' and blank lines are skipped.
// The entries are handed to the switch parser, so every switch is also a key.
#pragma once

#include <string>
#include <vector>

struct appl_conf_entry {
    std::string key;    // without dashes
    std::string value;  // surrounding blanks removed, otherwise as written
    int line = 0;       // 1-based line number in the file
};

// Reads path into *entries. The file is refused when it is not a regular
// file, when group or others may write it, or when it belongs to someone
// other than root or the user running the appliance: whoever can change it
// controls the appliance. Malformed lines are refused with the file name and
// line; their text is never echoed (a pasted password must not reach a log).
// Returns 0 or -1 with a message.
// The next line of a text read whole, from *pos on, without its line end
// ("\n" or "\r\n"); false once the text is used up.
bool appl_next_line(const std::string &data, size_t *pos, std::string *line);

int appl_conf_read(const std::string &path, std::vector<appl_conf_entry> *entries, std::string *msg);
