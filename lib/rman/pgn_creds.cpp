#include "lib/rman/pgn_creds.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlstring.h>

#include "datamover/file_io.h"
#include "datamover/util.h"
#include "lib/rman/pgn_getopt.h"

// ---------------------------------------------------------------- messages

void pgn_msg_init(pgn_msgbuf *m)
{
    m->text[0] = '\0';
    m->len = 0;
}

void pgn_msg_add(pgn_msgbuf *m, const char *fmt, ...)
{
    size_t room = sizeof m->text - m->len;
    if (room <= 1)
        return;  // full: later messages are dropped
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(m->text + m->len, room, fmt, ap);
    va_end(ap);
    if (n < 0) {
        m->text[m->len] = '\0';
        return;
    }
    m->len += size_t(n) < room ? size_t(n) : room - 1;
}

// ---------------------------------------------------------------- libxml2 set-up

namespace {

// read_store's result for a file that must not be used (the message says why).
constexpr int kStoreRefused = -2;
// parse_command's result after -h: only the usage is wanted.
constexpr int kHelpAsked = 1;

const xmlChar *X(const char *s)
{
    return reinterpret_cast<const xmlChar *>(s);
}

bool name_is(xmlNodePtr node, const char *name)
{
    return xmlStrcmp(node->name, X(name)) == 0;
}

// The parser's global tables must be set up once before threads use it.
void xml_init()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// Text of the tree (the passwords among it) is wiped before the tree is
// freed. Strings the document's dictionary owns are shared and left alone.
void wipe_text(xmlNodePtr n, xmlDictPtr dict)
{
    for (; n != nullptr; n = n->next) {
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content != nullptr &&
            n->content != reinterpret_cast<xmlChar *>(&n->properties) &&
            (dict == nullptr || xmlDictOwns(dict, n->content) == 0))
            explicit_bzero(n->content, size_t(xmlStrlen(n->content)));
        if (n->type == XML_ELEMENT_NODE)
            wipe_text(n->children, dict);
    }
}

struct DocFree {
    void operator()(xmlDoc *d) const
    {
        wipe_text(d->children, d->dict);
        xmlFreeDoc(d);
    }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct XmlString {
    xmlChar *s = nullptr;
    explicit XmlString(xmlChar *p) : s(p) {}
    ~XmlString() { xmlFree(s); }
    XmlString(const XmlString &) = delete;
    XmlString &operator=(const XmlString &) = delete;
    bool equals(const char *t) const { return s != nullptr && xmlStrcmp(s, X(t)) == 0; }
};

// ---------------------------------------------------------------- locking

// An exclusive lock on "<store>.lock". The lock belongs to the open file,
// not the process, so two channels of one process exclude each other too.
class StoreLock {
public:
    explicit StoreLock(const char *store)
    {
        std::string path = std::string(store) + ".lock";
        fd_ = file_io_lock_file(path.c_str());
    }
    ~StoreLock() { file_io_unlock_file(fd_); }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------- file I/O

// Writes doc to a fresh temporary file beside path (mode 0600) and renames it
// over path, so the store is never seen half-written and never readable by
// others. Returns 0 or -1.
int save_doc(const char *path, xmlDocPtr doc, bool indent)
{
    xmlChar *mem = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc, &mem, &size, "UTF-8", indent ? 1 : 0);
    if (mem == nullptr || size <= 0) {
        xmlFree(mem);
        return -1;
    }
    int rc = file_io_replace_private(path, mem, size_t(size));
    explicit_bzero(mem, size_t(size));
    xmlFree(mem);
    return rc;
}

int create_empty(const char *path)
{
    DocPtr doc(xmlNewDoc(X("1.0")));
    if (!doc)
        return -1;
    xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, X("rman_creds"), nullptr);
    if (root == nullptr)
        return -1;
    xmlDocSetRootElement(doc.get(), root);
    return save_doc(path, doc.get(), true);
}

// The store holds passwords: it is used only when it is a regular file of
// the process's own user that nobody else may read or change. Returns 0, or
// -1 with a message that says how to put it right.
int check_store(const char *path, const file_io_private_info &sb, pgn_msgbuf *m)
{
    if (sb.link) {
        pgn_msg_add(m, "Credentials file %s is a symbolic link; replace it with the file itself\n", path);
        return -1;
    }
    if (!sb.regular) {
        pgn_msg_add(m, "Failed to access file %s\n", path);
        return -1;
    }
    if (sb.owner != sb.me) {
        pgn_msg_add(m,
                    "Credentials file %s is owned by user %u, not by this process's user %u; "
                    "give it to that user with chown, or remove it and store the credentials again\n",
                    path, sb.owner, sb.me);
        return -1;
    }
    if ((sb.mode & 077) != 0) {
        pgn_msg_add(m, "Credentials file %s can be read or changed by other users (mode %04o); "
                       "make it private with: chmod 600 %s\n",
                    path, sb.mode & 07777, path);
        return -1;
    }
    return 0;
}

// Reads the whole store into memory (never through a symbolic link); refuses
// a file check_store refuses, or one of more than PGN_CREDS_MAX_FILE bytes.
// Returns 0, -1 on a read problem, kStoreRefused (message in m).
int read_store(const char *path, std::string *out, pgn_msgbuf *m)
{
    file_io_private_info sb;
    int fd = file_io_open_private(path, &sb);
    if (fd < 0) {
        if (errno == ELOOP) {
            file_io_private_info lsb;
            if (file_io_stat_private(path, &lsb) == 0 && check_store(path, lsb, m) != 0)
                return kStoreRefused;
        }
        return -1;
    }
    if (check_store(path, sb, m) != 0) {
        file_io_close_private(fd);
        return kStoreRefused;
    }
    if (sb.size > uint64_t(PGN_CREDS_MAX_FILE)) {
        file_io_close_private(fd);
        return -1;
    }
    out->resize(size_t(sb.size) + 1);
    size_t got = 0;
    for (;;) {
        if (got == out->size()) {  // grew while we read: refuse
            file_io_close_private(fd);
            return -1;
        }
        long r = file_io_read_private(fd, out->data() + got, out->size() - got);
        if (r < 0) {
            file_io_close_private(fd);
            return -1;
        }
        if (r == 0)
            break;
        got += size_t(r);
    }
    file_io_close_private(fd);
    out->resize(got);
    return 0;
}

// Opens the store: creates an empty one when the file is missing, then parses
// it. The parser never touches the network, never expands entities into the
// tree, keeps its own depth and size limits, and prints nothing; a document
// type declaration is refused, since a store never has one and its entities
// are the way to make a reader blow up.
DocPtr open_store(const char *path, pgn_msgbuf *m, xmlNodePtr *root_out)
{
    file_io_private_info sb;
    if (file_io_stat_private(path, &sb) != 0) {
        if (errno != ENOENT) {
            pgn_msg_add(m, "Failed to access file %s\n", path);
            return nullptr;
        }
        if (create_empty(path) != 0) {
            pgn_msg_add(m, "Failed to create new cred file %s\n", path);
            return nullptr;
        }
    } else if (check_store(path, sb, m) != 0) {
        return nullptr;
    } else if (!file_io_writable(path)) {
        pgn_msg_add(m, "Failed to access file %s\n", path);
        return nullptr;
    }

    std::string data;
    int rr = read_store(path, &data, m);
    if (rr == kStoreRefused)
        return nullptr;
    DocPtr doc;
    if (rr == 0 && data.size() <= size_t(PGN_CREDS_MAX_FILE)) {
        doc.reset(xmlReadMemory(data.data(), int(data.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                                    XML_PARSE_NOCDATA));
    }
    explicit_bzero(data.data(), data.size());  // the passwords' text
    if (!doc || doc->intSubset != nullptr || doc->extSubset != nullptr) {
        pgn_msg_add(m, "Failed to parse file %s\n", path);
        return nullptr;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        pgn_msg_add(m, "Failed to get root element\n");
        return nullptr;
    }
    if (!name_is(root, "rman_creds")) {
        pgn_msg_add(m, "Wrong creds file\n");
        return nullptr;
    }
    *root_out = root;
    return doc;
}

// ---------------------------------------------------------------- walking

// Finds the child element of parent named elem whose attribute attr equals
// value; *found stays null when none does. Any other element, or one without
// the attribute, makes the store unreadable.
int find_child(xmlNodePtr parent, const char *elem, const char *attr, const char *value, pgn_msgbuf *m,
               xmlNodePtr *found)
{
    *found = nullptr;
    for (xmlNodePtr n = parent->children; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (!name_is(n, elem)) {
            pgn_msg_add(m, "Wrong contents of the creds file, unexpected %s node\n", (const char *)n->name);
            return -1;
        }
        XmlString v(xmlGetNoNsProp(n, X(attr)));
        if (v.s == nullptr) {
            pgn_msg_add(m, "Wrong contents of the creds file, %s node without an attribute.\n", elem);
            return -1;
        }
        if (v.equals(value)) {
            *found = n;
            return 0;
        }
    }
    return 0;
}

int find_host(xmlNodePtr root, const char *host, pgn_msgbuf *m, xmlNodePtr *found)
{
    return find_child(root, "host", "ip", host, m, found);
}

int find_cred(xmlNodePtr host, const char *id, pgn_msgbuf *m, xmlNodePtr *found)
{
    return find_child(host, "cred", "id", id, m, found);
}

// The element's own text (its text children), cut to the field size.
void copy_text(xmlNodePtr el, char *out, size_t size)
{
    size_t len = 0;
    out[0] = '\0';
    for (xmlNodePtr t = el->children; t != nullptr; t = t->next) {
        if ((t->type != XML_TEXT_NODE && t->type != XML_CDATA_SECTION_NODE) || t->content == nullptr)
            continue;
        if (len + 1 >= size)
            break;
        len += util_strlcpy(out + len, (const char *)t->content, size - len) - 1;
        if (len >= size)
            len = size - 1;
    }
}

int read_cred(xmlNodePtr cred_el, rpgn_cred *cred, pgn_msgbuf *m)
{
    cred->user[0] = '\0';
    cred->password[0] = '\0';
    for (xmlNodePtr n = cred_el->children; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (name_is(n, "user")) {
            copy_text(n, cred->user, sizeof cred->user);
        } else if (name_is(n, "password")) {
            copy_text(n, cred->password, sizeof cred->password);
        } else {
            pgn_msg_add(m, "Wrong contents of the creds file, unexpected %s node\n", (const char *)n->name);
            return -1;
        }
    }
    if (cred->user[0] == '\0') {
        pgn_msg_add(m, "User name is missing for cred %s\n", cred->id);
        return -1;
    }
    if (cred->password[0] == '\0') {
        pgn_msg_add(m, "Password is missing for cred %s\n", cred->id);
        return -1;
    }
    return 0;
}

// A value is stored only when it reads back unchanged: valid UTF-8 without
// control characters (which XML cannot hold or normalises on reading).
bool storable(const char *v)
{
    for (const unsigned char *p = (const unsigned char *)v; *p != 0; p++) {
        if (*p < 0x20)
            return false;
    }
    return xmlCheckUTF8(X(v)) != 0;
}

// ---------------------------------------------------------------- actions

// The cred element of an existing credential (host and id), or -1 with a message.
int find_existing(xmlNodePtr root, const rpgn_cred *cred, pgn_msgbuf *m, xmlNodePtr *el)
{
    xmlNodePtr host = nullptr;
    *el = nullptr;
    if (find_host(root, cred->host, m, &host) != 0)
        return -1;
    if (host != nullptr && find_cred(host, cred->id, m, el) != 0)
        return -1;
    if (*el == nullptr) {
        pgn_msg_add(m, "Requested credentials are not found.\n");
        return -1;
    }
    return 0;
}

int action_get(const char *path, rpgn_cred *cred, pgn_msgbuf *m)
{
    xmlNodePtr root = nullptr;
    DocPtr doc = open_store(path, m, &root);
    if (!doc)
        return -1;
    xmlNodePtr el = nullptr;
    if (find_existing(root, cred, m, &el) != 0)
        return -1;
    return read_cred(el, cred, m);
}

int action_set(const char *path, const rpgn_cred *cred, pgn_msgbuf *m)
{
    const struct {
        const char *what;
        const char *value;
    } values[] = {{"cred", cred->id}, {"host", cred->host}, {"user", cred->user}, {"password", cred->password}};
    for (const auto &v : values) {
        if (!storable(v.value)) {
            pgn_msg_add(m, "The %s value holds characters that cannot be stored\n", v.what);
            return -1;
        }
    }

    xmlNodePtr root = nullptr;
    DocPtr doc = open_store(path, m, &root);
    if (!doc)
        return -1;
    xmlNodePtr host = nullptr, el = nullptr;
    if (find_host(root, cred->host, m, &host) != 0)
        return -1;
    if (host != nullptr) {
        if (find_cred(host, cred->id, m, &el) != 0)
            return -1;
        if (el != nullptr) {
            pgn_msg_add(m, "Credentials with id %s for host %s already exist.\n", cred->id, cred->host);
            return -1;
        }
    } else {
        host = xmlNewChild(root, nullptr, X("host"), nullptr);
        if (host == nullptr || xmlNewProp(host, X("ip"), X(cred->host)) == nullptr) {
            pgn_msg_add(m, "Failed to save updated creds file\n");
            return -1;
        }
    }
    // Text children are escaped, so '&' and '<' in a password are kept as given.
    el = xmlNewChild(host, nullptr, X("cred"), nullptr);
    if (el == nullptr || xmlNewProp(el, X("id"), X(cred->id)) == nullptr ||
        xmlNewTextChild(el, nullptr, X("user"), X(cred->user)) == nullptr ||
        xmlNewTextChild(el, nullptr, X("password"), X(cred->password)) == nullptr ||
        save_doc(path, doc.get(), true) != 0) {
        pgn_msg_add(m, "Failed to save updated creds file\n");
        return -1;
    }
    return 0;
}

int action_delete(const char *path, const rpgn_cred *cred, pgn_msgbuf *m)
{
    xmlNodePtr root = nullptr;
    DocPtr doc = open_store(path, m, &root);
    if (!doc)
        return -1;
    xmlNodePtr el = nullptr;
    if (find_existing(root, cred, m, &el) != 0)
        return -1;
    xmlUnlinkNode(el);
    xmlFreeNode(el);
    if (save_doc(path, doc.get(), false) != 0) {
        pgn_msg_add(m, "Failed to save updated creds file\n");
        return -1;
    }
    return 0;
}

}  // namespace

int pgn_creds_run(const char *path, pgn_creds_action action, rpgn_cred *cred, pgn_msgbuf *m)
{
    if (path == nullptr || path[0] == '\0') {
        pgn_msg_add(m, "Internal error. Credentials filename is not set.\n");
        return -1;
    }
    if (action != PGN_CREDS_GET && action != PGN_CREDS_SET && action != PGN_CREDS_DELETE &&
        action != PGN_CREDS_CREATE_EMPTY) {
        pgn_msg_add(m, "Unrecognized action\n");
        return -1;
    }
    xml_init();
    StoreLock lock(path);
    if (!lock.held()) {
        pgn_msg_add(m, "Failed to lock file %s.lock\n", path);
        return -1;
    }
    switch (action) {
    case PGN_CREDS_GET:
        return action_get(path, cred, m);
    case PGN_CREDS_SET:
        return action_set(path, cred, m);
    case PGN_CREDS_DELETE:
        return action_delete(path, cred, m);
    default:
        if (create_empty(path) != 0) {
            pgn_msg_add(m, "Failed to create new cred file %s\n", path);
            return -1;
        }
        return 0;
    }
}

// ---------------------------------------------------------------- the command

namespace {

const pgn_option CREDS_OPTIONS[] = {
    {"set", PGN_NO_ARGUMENT, 's'},        {"get", PGN_NO_ARGUMENT, 'g'},
    {"delete", PGN_NO_ARGUMENT, 'd'},     {"create_empty", PGN_NO_ARGUMENT, 'C'},
    {"help", PGN_NO_ARGUMENT, 'h'},       {"cred", PGN_REQUIRED_ARGUMENT, 'c'},
    {"host", PGN_REQUIRED_ARGUMENT, 'H'}, {"user", PGN_REQUIRED_ARGUMENT, 'u'},
    {"password", PGN_REQUIRED_ARGUMENT, 'p'}, {nullptr, 0, 0},
};
const char CREDS_SHORT[] = "hgsdCc:H:u:p:";

void add_usage(pgn_msgbuf *m, const char *prog)
{
    pgn_msg_add(m,
                "Usage: %s [-s|--set|-g|--get|-d|--delete] -c|--cred <cred_id> -H|--host <hostip> "
                "-u|--user <username> -p|--password <password>\n",
                prog);
}

// Options and checks; returns 0 with the action set, kHelpAsked after -h, or -1 with
// its one message in m.
int parse_command(const char *store_path, int argc, char **argv, pgn_creds_action *action, rpgn_cred *cred,
                  pgn_msgbuf *m)
{
    pgn_getopt st;
    pgn_getopt_init(&st, pgn_getopt_posix_env());
    int c;
    while ((c = pgn_getopt_long(&st, argc, argv, CREDS_SHORT, CREDS_OPTIONS)) != -1) {
        switch (c) {
        case 's': *action = PGN_CREDS_SET; break;
        case 'g': *action = PGN_CREDS_GET; break;
        case 'd': *action = PGN_CREDS_DELETE; break;
        case 'C': *action = PGN_CREDS_CREATE_EMPTY; break;
        case 'c': util_strlcpy(cred->id, st.optarg, sizeof cred->id); break;
        case 'H': util_strlcpy(cred->host, st.optarg, sizeof cred->host); break;
        case 'u': util_strlcpy(cred->user, st.optarg, sizeof cred->user); break;
        case 'p': util_strlcpy(cred->password, st.optarg, sizeof cred->password); break;
        case 'h': return kHelpAsked;
        default:
            pgn_msg_add(m, "Unknown option %c.\n", c);
            return -1;
        }
    }

    if (*action == PGN_CREDS_NONE) {
        pgn_msg_add(m, "action must be specified\n");
        return -1;
    }
    if (*action != PGN_CREDS_CREATE_EMPTY) {
        if (cred->id[0] == '\0') {
            pgn_msg_add(m, "Credential name must be specified\n");
            return -1;
        }
        if (cred->host[0] == '\0') {
            pgn_msg_add(m, "Backup host name must be specified\n");
            return -1;
        }
        if (*action == PGN_CREDS_SET) {
            if (cred->user[0] == '\0' || cred->password[0] == '\0') {
                pgn_msg_add(m, "User name and password must be specified when setting credentials\n");
                return -1;
            }
        } else if (cred->user[0] != '\0' || cred->password[0] != '\0') {
            pgn_msg_add(m, "User name and password must not be specified when not setting credentials\n");
            return -1;
        }
    }
    if (store_path == nullptr || store_path[0] == '\0') {
        pgn_msg_add(m, "Internal error. Credentials filename is not set.\n");
        return -1;
    }
    if (st.optind < argc) {
        pgn_msg_add(m, "Invalid extra parameters at the end of command.\n");
        return -1;
    }
    return 0;
}

}  // namespace

int pgn_creds_command(const char *store_path, int argc, char **argv, char *msg)
{
    pgn_msgbuf m;
    pgn_msg_init(&m);
    const char *prog = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "creds";
    pgn_creds_action action = PGN_CREDS_NONE;
    rpgn_cred cred;
    memset(&cred, 0, sizeof cred);

    int rc = -1;
    if (argc > 0)
        rc = parse_command(store_path, argc, argv, &action, &cred, &m);
    else
        pgn_msg_add(&m, "action must be specified\n");
    if (rc == kHelpAsked) {
        add_usage(&m, prog);
        rc = -1;
    } else {
        if (rc == 0)
            rc = pgn_creds_run(store_path, action, &cred, &m);
        if (rc != 0) {
            add_usage(&m, prog);
            rc = -1;
        }
    }
    util_strlcpy(msg, rc == 0 ? "" : m.text, PGN_CREDS_MSG_SIZE);
    memset(&cred, 0, sizeof cred);
    return rc;
}

int rpgn_creds_lookup(const char *store_path, rpgn_cred *cred, char *msg)
{
    pgn_msgbuf m;
    pgn_msg_init(&m);
    int rc = pgn_creds_run(store_path, PGN_CREDS_GET, cred, &m);
    util_strlcpy(msg, rc == 0 ? "" : m.text, PGN_CREDS_MSG_SIZE);
    return rc == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- log masking

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Short options of the creds command that take an argument.
bool takes_arg(char c)
{
    return c == 'c' || c == 'H' || c == 'u' || c == 'p';
}

bool known_short(char c)
{
    return takes_arg(c) || strchr("hgsdC", c) != nullptr;
}

// A long option name (or prefix) that can only mean an option without a
// secret. Anything else, --password and any misspelling of it among them,
// may carry one.
bool plain_long(const char *name, size_t nlen)
{
    static const char *const kPlain[] = {"set", "get", "delete", "create_empty", "help", "cred", "host", "user"};
    if (nlen == 0)
        return false;
    for (const char *o : kPlain)
        if (nlen <= strlen(o) && strncmp(name, o, nlen) == 0)
            return true;
    return false;
}

}  // namespace

void pgn_creds_mask(const char *command, char *out, size_t out_size)
{
    if (out_size == 0)
        return;
    if (command == nullptr) {
        out[0] = '\0';
        return;
    }
    size_t o = 0;
    auto put = [&](const char *p, size_t n) {
        while (n > 0 && o + 1 < out_size) {
            out[o++] = *p++;
            n--;
        }
    };
    static const char STARS[] = "****";

    // Each word is looked at on its own, so a password is hidden even when a
    // mistyped command would make the parser read it differently. The word
    // after -p or --password is hidden whatever it is; the word after an
    // option the command does not know is hidden unless it is an option.
    enum { SHOW, HIDE, HIDE_UNLESS_OPTION } next = SHOW;
    const char *p = command;
    while (*p != '\0') {
        const char *s = p;
        while (*p != '\0' && is_blank(*p))
            p++;
        put(s, size_t(p - s));
        if (*p == '\0')
            break;
        const char *w = p;
        while (*p != '\0' && !is_blank(*p))
            p++;
        size_t wlen = size_t(p - w);

        if (next == HIDE || (next == HIDE_UNLESS_OPTION && w[0] != '-')) {
            put(STARS, 4);
            next = SHOW;
            continue;
        }
        next = SHOW;
        size_t keep = wlen;  // characters of the word shown as they are
        if (wlen > 2 && w[0] == '-' && w[1] == '-') {
            const char *name = w + 2;
            const char *eq = static_cast<const char *>(memchr(name, '=', wlen - 2));
            size_t nlen = eq != nullptr ? size_t(eq - name) : wlen - 2;
            if (!plain_long(name, nlen)) {
                if (eq != nullptr)
                    keep = size_t(eq - w) + 1;
                else
                    next = (nlen <= 8 && strncmp(name, "password", nlen) == 0) ? HIDE : HIDE_UNLESS_OPTION;
            }
        } else if (wlen > 1 && w[0] == '-' && w[1] != '-') {
            for (size_t i = 1; i < wlen; i++) {
                if (known_short(w[i]) && !takes_arg(w[i]))
                    continue;
                bool secret = w[i] == 'p' || !known_short(w[i]);
                if (secret) {
                    if (i + 1 < wlen)
                        keep = i + 1;
                    else
                        next = w[i] == 'p' ? HIDE : HIDE_UNLESS_OPTION;
                }
                break;  // the rest of the word is that option's argument
            }
        }
        put(w, keep);
        if (keep < wlen)
            put(STARS, 4);
    }
    out[o] = '\0';
}
