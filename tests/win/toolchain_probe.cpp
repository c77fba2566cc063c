// Proof that the Windows tool chain works and a record of what the Windows
// facilities the library needs do under wine: a console program linked
// statically against the cross-built OpenSSL and libxml2 that checks
//
//   - Winsock 2.2 on loopback addresses, blocking and non-blocking, with
//     select and WSAPoll, the Winsock error codes and their texts, and the
//     keep-alive values;
//   - TLS 1.2 handshakes against Linux peers (RSA with AES256-SHA256, the
//     certificate checked against a CA and a CRL; a revoked certificate;
//     ECDHE-ECDSA with AES-GCM; DHE-PSK with AES-GCM);
//   - the digests and the key derivation (MD5, SHA-256, PBKDF2);
//   - the XML parser and serialiser on a file in the Windows directory;
//   - the Windows directory, the clocks, process and thread ids, critical
//     sections, condition variables, events, SignalObjectAndWait, the
//     standard library's threads, one-byte file locks (in one process,
//     between processes, and against a Linux process's record lock), and
//     delete-on-close files.
//
// scripts/win-probe.sh starts the peers and runs it under wine64. Arguments
// are key=value pairs (see usage()). Every check prints one line, "ok NAME:
// details" or "FAIL NAME: reason"; facts that are only recorded print "info".
// The exit status is the number of failed checks.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/pem.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::map<std::string, std::string> g_args;
int g_failed = 0;
int g_checks = 0;

std::string arg(const char *key, const char *def = "") {
    auto it = g_args.find(key);
    return it == g_args.end() ? def : it->second;
}

void report(bool ok, const char *name, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    ++g_checks;
    if (!ok) ++g_failed;
    printf("%s %s: %s\n", ok ? "ok" : "FAIL", name, text);
    fflush(stdout);
}

void info(const char *name, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    printf("info %s: %s\n", name, text);
    fflush(stdout);
}

std::string wsa_text(DWORD code) {
    char buf[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf,
                             nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) buf[--n] = '\0';
    return n ? buf : "(no text)";
}

std::string ssl_errors() {
    std::string out;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out.empty() ? "no OpenSSL error" : out;
}

struct Socket {
    SOCKET s = INVALID_SOCKET;
    Socket() = default;
    explicit Socket(SOCKET v) : s(v) {}
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};

sockaddr_in make_addr(const std::string &host, unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

std::string addr_text(const sockaddr_in &a) {
    char buf[64];
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

bool set_nonblocking(SOCKET s, bool on) {
    u_long v = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &v) == 0;
}

// Waits until the socket is readable (or writable); false on time-out. The
// time-outs only stop a hang.
bool wait_socket(SOCKET s, bool for_write, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set err;
    FD_ZERO(&err);
    FD_SET(s, &err);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &err, &tv);
    return n > 0;
}

// --------------------------------------------------------------- Winsock

// Listens on an ephemeral port of host; the listener's address, with port 0
// when it could not be set up (WSAGetLastError says why).
sockaddr_in listen_any(const std::string &host, Socket &l) {
    l.s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = make_addr(host, 0);
    int len = sizeof a;
    if (l.s == INVALID_SOCKET || bind(l.s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l.s, 4) != 0 ||
        getsockname(l.s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        a.sin_port = 0;
    return a;
}

void check_loopback(const std::string &host) {
    const char *name = host == "127.0.0.1" ? "winsock-127.0.0.1" : "winsock-loopback";
    Socket l;
    sockaddr_in a = listen_any(host, l);
    if (a.sin_port == 0) {
        report(false, name, "bind/listen on %s failed: %d %s", host.c_str(), WSAGetLastError(),
               wsa_text(WSAGetLastError()).c_str());
        return;
    }
    Socket c(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (connect(c.s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        report(false, name, "connect to %s failed: %d", addr_text(a).c_str(), WSAGetLastError());
        return;
    }
    sockaddr_in peer{};
    int len = sizeof peer;
    Socket s(accept(l.s, reinterpret_cast<sockaddr *>(&peer), &len));
    const char msg[] = "loopback";
    char buf[16] = "";
    int sent = send(c.s, msg, sizeof msg, 0);
    int got = recv(s.s, buf, sizeof buf, 0);
    // Linux gives an unbound client on 127.0.0.0/8 the source 127.0.0.1,
    // whatever loopback address it connects to; so does wine.
    bool ok = s.s != INVALID_SOCKET && sent == sizeof msg && got == sizeof msg && strcmp(buf, msg) == 0;
    report(ok, name, "listener %s, client came from %s, %d bytes across", addr_text(a).c_str(),
           addr_text(peer).c_str(), got);
}

void check_nonblocking(const std::string &host, unsigned closed_port) {
    // Connect without blocking, select for writability, then the queued data
    // and the end of stream through WSAPoll.
    Socket l;
    sockaddr_in a = listen_any(host, l);

    Socket c(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    set_nonblocking(c.s, true);
    int rc = connect(c.s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int err = rc == 0 ? 0 : WSAGetLastError();
    bool writable = wait_socket(c.s, true, 10000);
    int soerr = -1;
    int len = sizeof soerr;
    getsockopt(c.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &len);
    report((rc == 0 || err == WSAEWOULDBLOCK) && writable && soerr == 0, "nonblocking-connect",
           "connect gave %d (WSAEWOULDBLOCK is %d), writable %d, SO_ERROR %d", err, WSAEWOULDBLOCK, writable,
           soerr);

    Socket s(accept(l.s, nullptr, nullptr));
    char buf[64];
    rc = recv(c.s, buf, sizeof buf, 0);
    err = WSAGetLastError();
    report(rc == SOCKET_ERROR && err == WSAEWOULDBLOCK, "nonblocking-recv", "recv on an empty socket: %d, error %d",
           rc, err);

    WSAPOLLFD pfd{};
    pfd.fd = c.s;
    pfd.events = POLLRDNORM;
    int n0 = WSAPoll(&pfd, 1, 0);
    send(s.s, "x", 1, 0);
    pfd.revents = 0;
    int n1 = WSAPoll(&pfd, 1, 10000);
    short ev1 = pfd.revents;
    rc = recv(c.s, buf, sizeof buf, 0);
    closesocket(s.s);
    s.s = INVALID_SOCKET;
    pfd.revents = 0;
    int n2 = WSAPoll(&pfd, 1, 10000);
    short ev2 = pfd.revents;
    int eof = recv(c.s, buf, sizeof buf, 0);
    report(n0 == 0 && n1 == 1 && (ev1 & POLLRDNORM) && rc == 1 && n2 == 1 && eof == 0, "wsapoll",
           "idle %d, data %d (revents 0x%x), closed peer %d (revents 0x%x), recv at end %d", n0, n1, ev1, n2, ev2,
           eof);

    // A refused connection: the error surfaces through select's except set
    // and SO_ERROR.
    Socket r(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    set_nonblocking(r.s, true);
    sockaddr_in ra = make_addr(host, closed_port);
    connect(r.s, reinterpret_cast<sockaddr *>(&ra), sizeof ra);
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(r.s, &wr);
    FD_SET(r.s, &ex);
    timeval tv{10, 0};
    int sel = select(0, nullptr, &wr, &ex, &tv);
    soerr = 0;
    len = sizeof soerr;
    getsockopt(r.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &len);
    report(sel == 1 && FD_ISSET(r.s, &ex) && soerr == WSAECONNREFUSED, "refused-connect",
           "select %d, in the except set %d, SO_ERROR %d (WSAECONNREFUSED %d) \"%s\"", sel, FD_ISSET(r.s, &ex) ? 1 : 0,
           soerr, WSAECONNREFUSED, wsa_text(soerr).c_str());

    Socket b(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    connect(b.s, reinterpret_cast<sockaddr *>(&ra), sizeof ra);
    err = WSAGetLastError();
    report(err == WSAECONNREFUSED, "blocking-refused", "blocking connect to a closed port: %d", err);
}

void check_keepalive(const std::string &host) {
    Socket l;
    sockaddr_in a = listen_any(host, l);
    Socket c(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    connect(c.s, reinterpret_cast<sockaddr *>(&a), sizeof a);

    BOOL on = TRUE;
    setsockopt(c.s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on);
    BOOL cur = FALSE;
    int len = sizeof cur;
    int g = getsockopt(c.s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&cur), &len);
    tcp_keepalive kv{1, 45000, 7000};  // milliseconds
    DWORD bytes = 0;
    int rc = WSAIoctl(c.s, SIO_KEEPALIVE_VALS, &kv, sizeof kv, nullptr, 0, &bytes, nullptr, nullptr);
    int err = rc == 0 ? 0 : WSAGetLastError();
    report(g == 0 && cur && rc == 0, "keepalive-vals", "SO_KEEPALIVE %d, SIO_KEEPALIVE_VALS gave %d (error %d)", cur,
           rc, err);
    // The Windows 10 options (absent from mingw's headers): TCP_KEEPALIVE
    // (idle seconds) 3, TCP_KEEPCNT 16, TCP_KEEPINTVL 17.
    constexpr int KES_TCP_KEEPIDLE = 3, KES_TCP_KEEPCNT = 16, KES_TCP_KEEPINTVL = 17;
    DWORD idle = 0, intvl = 0, cnt = 0;
    len = sizeof idle;
    int gi = getsockopt(c.s, IPPROTO_TCP, KES_TCP_KEEPIDLE, reinterpret_cast<char *>(&idle), &len);
    len = sizeof intvl;
    int gv = getsockopt(c.s, IPPROTO_TCP, KES_TCP_KEEPINTVL, reinterpret_cast<char *>(&intvl), &len);
    DWORD six = 6;
    int sc = setsockopt(c.s, IPPROTO_TCP, KES_TCP_KEEPCNT, reinterpret_cast<const char *>(&six), sizeof six);
    int sce = sc == 0 ? 0 : WSAGetLastError();
    len = sizeof cnt;
    int gc = getsockopt(c.s, IPPROTO_TCP, KES_TCP_KEEPCNT, reinterpret_cast<char *>(&cnt), &len);
    info("keepalive-options",
         "after SIO_KEEPALIVE_VALS {45000, 7000} ms: TCP_KEEPALIVE %d -> %lu s, TCP_KEEPINTVL %d -> %lu s; "
         "setting TCP_KEEPCNT 6: %d (error %d), reads %d -> %lu",
         gi, static_cast<unsigned long>(idle), gv, static_cast<unsigned long>(intvl), sc, sce, gc,
         static_cast<unsigned long>(cnt));
}

void check_names(const std::string &host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), "10002", &hints, &res);
    std::string got = rc == 0 ? addr_text(*reinterpret_cast<sockaddr_in *>(res->ai_addr)) : "";
    if (res) freeaddrinfo(res);
    res = nullptr;
    int rl = getaddrinfo("localhost", nullptr, &hints, &res);
    std::string lh = rl == 0 ? addr_text(*reinterpret_cast<sockaddr_in *>(res->ai_addr)) : "";
    if (res) freeaddrinfo(res);
    report(rc == 0 && got == host + ":10002" && rl == 0, "getaddrinfo", "%s -> %s, localhost -> %s", host.c_str(),
           got.c_str(), lh.c_str());
    // The platform layer's error texts come from the system message table;
    // record which codes it knows.
    std::string known, unknown;
    constexpr DWORD codes[] = {WSAEINTR,      WSAEINVAL,       WSAEWOULDBLOCK,       WSAENOBUFS,
                               WSAECONNRESET, WSAETIMEDOUT,    WSAECONNREFUSED,      WSAEADDRINUSE,
                               ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION};
    for (DWORD code : codes) {
        std::string t = wsa_text(code);
        std::string &to = t == "(no text)" ? unknown : known;
        to += (to.empty() ? "" : ", ") + std::to_string(code) + (t == "(no text)" ? "" : " \"" + t + "\"");
    }
    info("error-text", "FormatMessageA knows %s; has no text for %s", known.c_str(),
         unknown.empty() ? "none" : unknown.c_str());
    report(wsa_text(ERROR_FILE_NOT_FOUND) != "(no text)", "error-text", "the system message table answers");
}

// --------------------------------------------------------------- TLS

unsigned psk_client_cb(SSL *, const char *, char *identity, unsigned max_identity, unsigned char *psk,
                       unsigned max_psk) {
    std::string id = arg("psk-identity");
    std::string hex = arg("psk-key");
    if (id.size() + 1 > max_identity || hex.size() / 2 > max_psk) return 0;
    memcpy(identity, id.c_str(), id.size() + 1);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) psk[i / 2] = static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return static_cast<unsigned>(hex.size() / 2);
}

struct TlsResult {
    bool connected = false;
    bool handshake = false;
    long verify = -1;
    std::string version, cipher, reply, error;
};

// One handshake over a non-blocking socket driven by select, the way the
// transport drives its connections, then one request and its answer.
TlsResult tls_session(const std::string &host, unsigned port, const char *ciphers, bool with_ca, bool psk) {
    TlsResult r;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    if (SSL_CTX_set_cipher_list(ctx, ciphers) != 1) {
        r.error = "cipher list refused: " + ssl_errors();
        SSL_CTX_free(ctx);
        return r;
    }
    if (with_ca) {
        if (SSL_CTX_load_verify_locations(ctx, arg("ca").c_str(), nullptr) != 1) {
            r.error = "CA file: " + ssl_errors();
            SSL_CTX_free(ctx);
            return r;
        }
        X509_STORE *store = SSL_CTX_get_cert_store(ctx);
        BIO *b = BIO_new_file(arg("crl").c_str(), "r");
        X509_CRL *crl = b ? PEM_read_bio_X509_CRL(b, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(b);
        if (!crl || X509_STORE_add_crl(store, crl) != 1) {
            r.error = "CRL: " + ssl_errors();
            X509_CRL_free(crl);
            SSL_CTX_free(ctx);
            return r;
        }
        X509_CRL_free(crl);
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    if (psk) SSL_CTX_set_psk_client_callback(ctx, psk_client_cb);

    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = make_addr(host, port);
    set_nonblocking(s.s, true);
    connect(s.s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int soerr = -1;
    int len = sizeof soerr;
    if (wait_socket(s.s, true, 10000)) getsockopt(s.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &len);
    r.connected = soerr == 0;
    if (!r.connected) {
        r.error = "connect: " + std::to_string(soerr);
        SSL_CTX_free(ctx);
        return r;
    }
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, static_cast<int>(s.s));
    SSL_set_tlsext_host_name(ssl, "kestralon-peer");
    auto drive = [&](auto op) {
        for (int rounds = 0; rounds < 1000; ++rounds) {
            int rc = op();
            if (rc > 0) return rc;
            int e = SSL_get_error(ssl, rc);
            if (e == SSL_ERROR_WANT_READ) {
                if (!wait_socket(s.s, false, 10000)) return -1;
            } else if (e == SSL_ERROR_WANT_WRITE) {
                if (!wait_socket(s.s, true, 10000)) return -1;
            } else {
                return rc;
            }
        }
        return -1;
    };
    int hs = drive([&] { return SSL_connect(ssl); });
    r.verify = SSL_get_verify_result(ssl);
    if (hs == 1) {
        r.handshake = true;
        r.version = SSL_get_version(ssl);
        r.cipher = SSL_get_cipher_name(ssl);
        const char req[] = "GET / HTTP/1.0\r\n\r\n";
        if (drive([&] { return SSL_write(ssl, req, sizeof req - 1); }) > 0) {
            char buf[256];
            int n = drive([&] { return SSL_read(ssl, buf, sizeof buf - 1); });
            if (n > 0) {
                buf[n] = '\0';
                r.reply.assign(buf, strcspn(buf, "\r\n"));
            }
        }
        SSL_shutdown(ssl);
    } else {
        r.error = ssl_errors();
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return r;
}

void check_tls(const std::string &host) {
    if (!arg("rsa-port").empty()) {
        TlsResult r = tls_session(host, std::stoul(arg("rsa-port")), "AES256-SHA256", true, false);
        report(r.handshake && r.verify == X509_V_OK && r.version == "TLSv1.2" && r.cipher == "AES256-SHA256" &&
                   r.reply.rfind("HTTP/1.0 200", 0) == 0,
               "tls-rsa", "%s %s, verify %ld, answer \"%s\" %s", r.version.c_str(), r.cipher.c_str(), r.verify,
               r.reply.c_str(), r.error.c_str());
    }
    if (!arg("revoked-port").empty()) {
        TlsResult r = tls_session(host, std::stoul(arg("revoked-port")), "AES256-SHA256", true, false);
        report(r.connected && !r.handshake && r.verify == X509_V_ERR_CERT_REVOKED, "tls-revoked",
               "handshake refused, verify %ld (%s)", r.verify, X509_verify_cert_error_string(r.verify));
    }
    if (!arg("ecdsa-port").empty()) {
        TlsResult r = tls_session(host, std::stoul(arg("ecdsa-port")), "ECDHE-ECDSA-AES128-GCM-SHA256", true, false);
        report(r.handshake && r.verify == X509_V_OK && r.cipher == "ECDHE-ECDSA-AES128-GCM-SHA256" &&
                   r.reply.rfind("HTTP/1.0 200", 0) == 0,
               "tls-ecdhe-ecdsa", "%s %s, verify %ld %s", r.version.c_str(), r.cipher.c_str(), r.verify,
               r.error.c_str());
    }
    if (!arg("psk-port").empty()) {
        TlsResult r = tls_session(host, std::stoul(arg("psk-port")), "DHE-PSK-AES256-GCM-SHA384", false, true);
        report(r.handshake && r.cipher == "DHE-PSK-AES256-GCM-SHA384" && r.reply.rfind("HTTP/1.0 200", 0) == 0,
               "tls-dhe-psk", "%s %s %s", r.version.c_str(), r.cipher.c_str(), r.error.c_str());
    }
}

// --------------------------------------------------------------- crypto

std::string hex(const unsigned char *p, size_t n) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out;
}

void check_digests() {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest("abc", 3, d, &n, EVP_md5(), nullptr);
    std::string md5 = hex(d, n);
    EVP_Digest("abc", 3, d, &n, EVP_sha256(), nullptr);
    std::string sha = hex(d, n);
    unsigned char k[32];
    int p = PKCS5_PBKDF2_HMAC("passwd", 6, reinterpret_cast<const unsigned char *>("salt"), 4, 1, EVP_sha256(), 64 / 2, k);
    std::string pb = hex(k, 32);
    report(md5 == "900150983cd24fb0d6963f7d28e17f72" &&
               sha == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" && p == 1 &&
               pb == "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc",
           "digests", "MD5, SHA-256 and PBKDF2-HMAC-SHA256 match their published values");
}

// --------------------------------------------------------------- XML

void check_xml(const std::string &dir) {
    std::string path = dir + "\\creds-probe.xml";
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        report(false, "xml", "cannot create %s", path.c_str());
        return;
    }
    fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<credentials>\n"
          "  <credential id=\"prod\" host=\"appliance.example\" user=\"rman\">\xc3\xa9t\xc3\xa9</credential>\n"
          "  <credential id=\"old\" host=\"h\" user=\"u\"/>\n</credentials>\n",
          f);
    fclose(f);
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    int count = 0;
    std::string first_user, text;
    xmlNodePtr old = nullptr;
    for (xmlNodePtr n = root ? root->children : nullptr; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        ++count;
        xmlChar *id = xmlGetNoNsProp(n, BAD_CAST "id");
        if (id && xmlStrcmp(id, BAD_CAST "prod") == 0) {
            xmlChar *u = xmlGetNoNsProp(n, BAD_CAST "user");
            xmlChar *c = xmlNodeGetContent(n);
            first_user = u ? reinterpret_cast<char *>(u) : "";
            text = c ? reinterpret_cast<char *>(c) : "";
            xmlFree(u);
            xmlFree(c);
        } else if (id && xmlStrcmp(id, BAD_CAST "old") == 0) {
            old = n;
        }
        xmlFree(id);
    }
    if (old) {
        xmlUnlinkNode(old);
        xmlFreeNode(old);
    }
    if (root) {
        xmlNodePtr n = xmlNewChild(root, nullptr, BAD_CAST "credential", nullptr);
        xmlNewProp(n, BAD_CAST "id", BAD_CAST "new");
    }
    xmlChar *out = nullptr;
    int size = 0;
    if (doc) xmlDocDumpFormatMemoryEnc(doc, &out, &size, "UTF-8", 1);
    std::string saved = out ? std::string(reinterpret_cast<char *>(out), static_cast<size_t>(size)) : "";
    xmlFree(out);
    bool parsed = doc != nullptr;
    xmlFreeDoc(doc);

    const char bad[] = "<credentials><credential id=\"x\"></credentials>";
    xmlDocPtr broken = xmlReadMemory(bad, sizeof bad - 1, "bad.xml", nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                                               XML_PARSE_NOWARNING);
    xmlFreeDoc(broken);
    report(parsed && count == 2 && first_user == "rman" && text == "\xc3\xa9t\xc3\xa9" &&
               saved.find("id=\"new\"") != std::string::npos && saved.find("\"old\"") == std::string::npos &&
               saved.find("\xc3\xa9t\xc3\xa9") != std::string::npos && broken == nullptr,
           "xml", "parsed %s (%d credentials), edited and saved %d bytes, malformed text refused", path.c_str(), count,
           size);
}

// --------------------------------------------------------------- system

void check_windir() {
    char dir[MAX_PATH] = "";
    GetWindowsDirectoryA(dir, sizeof dir);
    const char *env = getenv("WINDIR");
    std::string want = arg("windir");
    info("windows-directory", "GetWindowsDirectory \"%s\", WINDIR \"%s\"", dir, env ? env : "(unset)");
    if (want.empty()) return;
    std::string lib = want + "\\KESTRALON";
    BOOL made = CreateDirectoryA(lib.c_str(), nullptr);
    std::string file = lib + "\\probe.txt";
    FILE *f = fopen(file.c_str(), "w");
    if (f) {
        fputs("written under wine\n", f);
        fclose(f);
    }
    report(env && want == env && made && f, "windir", "WINDIR is \"%s\"; created %s", env ? env : "(unset)",
           file.c_str());
}

void check_clock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    long long us = static_cast<long long>(u.QuadPart / 10) - 11644473600000000LL;
    long long linux_s = std::atoll(arg("linux-time", "0").c_str());
    long long diff = us / 1000000 - linux_s;
    ULONGLONG t0 = GetTickCount64();
    Sleep(50);
    ULONGLONG t1 = GetTickCount64();
    // Generous bounds: they only catch a clock that is off by an epoch or a
    // time zone, not a slow machine.
    report(linux_s == 0 || (diff > -120 && diff < 600), "system-time",
           "GetSystemTimeAsFileTime %lld.%06lld s since 1970, %lld s after the script's clock; tick count moved %llu ms "
           "over Sleep(50)",
           us / 1000000, us % 1000000, diff, static_cast<unsigned long long>(t1 - t0));
    report(t1 >= t0 + 40, "tick-count", "GetTickCount64 advanced %llu ms", static_cast<unsigned long long>(t1 - t0));
}

void check_ids() {
    DWORD pid = GetCurrentProcessId();
    DWORD main_tid = GetCurrentThreadId();
    DWORD other = 0;
    std::thread t([&] { other = GetCurrentThreadId(); });
    t.join();
    report(pid != 0 && main_tid != 0 && other != 0 && other != main_tid && static_cast<DWORD>(_getpid()) == pid,
           "process-thread-ids", "process %lu (_getpid %d), main thread %lu, second thread %lu",
           static_cast<unsigned long>(pid), _getpid(), static_cast<unsigned long>(main_tid),
           static_cast<unsigned long>(other));
}

void check_sync() {
    // A critical section guarding a counter, a condition variable on it, a
    // manual-reset event, SignalObjectAndWait on a mutex handle, and the
    // standard library's threads on winpthreads.
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    CONDITION_VARIABLE cv;
    InitializeConditionVariable(&cv);
    long counter = 0;
    int ready = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int k = 0; k < 10000; ++k) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
            EnterCriticalSection(&cs);
            ++ready;
            WakeAllConditionVariable(&cv);
            LeaveCriticalSection(&cs);
        });
    EnterCriticalSection(&cs);
    bool timed_out = false;
    while (ready < 4 && !timed_out) timed_out = !SleepConditionVariableCS(&cv, &cs, 30000);
    LeaveCriticalSection(&cs);
    for (auto &t : ts) t.join();
    DeleteCriticalSection(&cs);
    report(counter == 40000 && !timed_out, "critical-section-condvar", "counter %ld, woken without time-out %d",
           counter, !timed_out);

    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> woke{0};
    WaitForSingleObject(mutex, INFINITE);
    std::thread waiter([&] {
        WaitForSingleObject(mutex, INFINITE);
        // Releases the mutex and waits for the event in one step.
        DWORD r = SignalObjectAndWait(mutex, ev, 30000, FALSE);
        woke = r == WAIT_OBJECT_0 ? 1 : 2;
    });
    ReleaseMutex(mutex);
    // The waiter holds the mutex until SignalObjectAndWait releases it.
    Sleep(100);
    DWORD got = WaitForSingleObject(mutex, 30000);
    SetEvent(ev);
    ReleaseMutex(mutex);
    waiter.join();
    CloseHandle(mutex);
    CloseHandle(ev);
    report(got == WAIT_OBJECT_0 && woke == 1, "signal-object-and-wait", "mutex taken after the waiter's release %d, "
           "waiter woken by the event %d", got == WAIT_OBJECT_0, woke == 1);

    std::mutex m;
    std::condition_variable c;
    int stage = 0;
    std::thread th([&] {
        std::unique_lock<std::mutex> g(m);
        stage = 1;
        c.notify_all();
        c.wait_for(g, std::chrono::seconds(30), [&] { return stage == 2; });
        stage = 3;
        c.notify_all();
    });
    {
        std::unique_lock<std::mutex> g(m);
        c.wait_for(g, std::chrono::seconds(30), [&] { return stage == 1; });
        stage = 2;
        c.notify_all();
        c.wait_for(g, std::chrono::seconds(30), [&] { return stage == 3; });
    }
    th.join();
    report(stage == 3, "std-thread", "std::thread, std::mutex and std::condition_variable hand over three times");
}

bool lock_byte(HANDLE h) {
    OVERLAPPED ov{};
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov) != 0;
}

bool unlock_byte(HANDLE h) {
    OVERLAPPED ov{};
    return UnlockFileEx(h, 0, 1, 0, &ov) != 0;
}

HANDLE open_shared(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Child mode: try to lock byte 0 of the file once; exit 0 when it was free.
int lock_child(const std::string &path) {
    HANDLE h = open_shared(path);
    if (h == INVALID_HANDLE_VALUE) return 2;
    int rc = lock_byte(h) ? 0 : 1;
    CloseHandle(h);
    return rc;
}

int run_lock_child(const std::string &path) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string cmd = std::string("\"") + self + "\" mode=lock-child \"file=" + path + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = 99;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

void check_file_lock(const std::string &dir) {
    std::string path = dir + "\\rmanIndex.txt";
    HANDLE a = open_shared(path);
    HANDLE b = open_shared(path);
    bool first = lock_byte(a);
    bool second_refused = !lock_byte(b);
    DWORD err = GetLastError();
    int child_locked = run_lock_child(path);
    bool unlocked = unlock_byte(a);
    bool second_now = lock_byte(b);
    unlock_byte(b);
    int child_free = run_lock_child(path);
    CloseHandle(a);
    CloseHandle(b);
    report(first && second_refused && err == ERROR_LOCK_VIOLATION && child_locked == 1 && unlocked && second_now &&
               child_free == 0,
           "file-lock", "byte 0 locked %d; second handle refused %d (error %lu); other process refused %d; after "
           "unlock second handle %d, other process %d",
           first, second_refused, static_cast<unsigned long>(err), child_locked == 1, second_now, child_free == 0);

    std::string held = arg("linux-locked");
    if (!held.empty()) {
        HANDLE h = open_shared(held);
        bool got = h != INVALID_HANDLE_VALUE && lock_byte(h);
        if (got) unlock_byte(h);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        info("file-lock-linux", "byte 0 of a file a Linux process holds an fcntl lock on: LockFileEx %s",
             got ? "succeeds (wine's locks and Linux record locks do not see each other)"
                 : "is refused (wine's locks are Linux record locks)");
    }
}

void check_files(const std::string &dir) {
    // Delete-on-close through the Win32 flag and through the runtime's
    // _O_TEMPORARY; the runtime's positioned 64-bit I/O.
    std::string p1 = dir + "\\shadow1.tmp";
    HANDLE h = CreateFileA(p1.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    DWORD written = 0;
    BOOL w = h != INVALID_HANDLE_VALUE && WriteFile(h, "shadow", 6, &written, nullptr);
    bool visible = GetFileAttributesA(p1.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    bool gone = GetFileAttributesA(p1.c_str()) == INVALID_FILE_ATTRIBUTES;
    report(w && visible && gone, "delete-on-close", "FILE_FLAG_DELETE_ON_CLOSE: written %d, visible while open %d, "
           "gone after close %d", w, visible, gone);

    std::string p2 = dir + "\\shadow2.tmp";
    int fd = _open(p2.c_str(), _O_CREAT | _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_EXCL, _S_IREAD | _S_IWRITE);
    char buf[8] = "";
    bool io = fd >= 0 && _lseeki64(fd, 5LL << 30, SEEK_SET) == (5LL << 30) && _write(fd, "tail", 4) == 4 &&
              _lseeki64(fd, 5LL << 30, SEEK_SET) == (5LL << 30) && _read(fd, buf, 4) == 4 && memcmp(buf, "tail", 4) == 0;
    long long size = fd >= 0 ? _filelengthi64(fd) : -1;
    if (fd >= 0) _close(fd);
    bool gone2 = GetFileAttributesA(p2.c_str()) == INVALID_FILE_ATTRIBUTES;
    report(io && size == (5LL << 30) + 4 && gone2, "runtime-file-io", "_O_TEMPORARY file: 64-bit seek and I/O %d, "
           "length %lld, gone after close %d", io, size, gone2);
}

void usage() {
    fprintf(stderr,
            "usage: toolchain_probe key=value...\n"
            "  host=ADDR            loopback address for the Winsock checks and the TLS peers\n"
            "  closed-port=N        a port nothing listens on\n"
            "  rsa-port= revoked-port= ecdsa-port= psk-port=   TLS peers (each optional)\n"
            "  ca=FILE crl=FILE psk-identity=ID psk-key=HEX     TLS material\n"
            "  windir=DIR           the WINDIR the program was started with (Windows path)\n"
            "  linux-time=S         the Linux clock when the program started\n"
            "  linux-locked=FILE    a file whose byte 0 a Linux process holds locked\n");
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const char *eq = strchr(argv[i], '=');
        if (!eq) {
            usage();
            return 100;
        }
        g_args[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
    }
    if (arg("mode") == "lock-child") return lock_child(arg("file"));

    WSADATA wsa;
    int ws = WSAStartup(MAKEWORD(2, 2), &wsa);
    report(ws == 0 && wsa.wVersion == MAKEWORD(2, 2), "wsastartup", "Winsock %d.%d", LOBYTE(wsa.wVersion),
           HIBYTE(wsa.wVersion));
    OPENSSL_init_ssl(0, nullptr);
    xmlInitParser();
    info("versions", "%s, libxml2 %s", OpenSSL_version(OPENSSL_VERSION), xmlParserVersion);

    std::string host = arg("host", "127.0.0.1");
    std::string dir = arg("windir");
    if (dir.empty()) {
        char tmp[MAX_PATH];
        GetTempPathA(sizeof tmp, tmp);
        dir = tmp;
        if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    }

    check_loopback("127.0.0.1");
    if (host != "127.0.0.1") check_loopback(host);
    check_nonblocking(host, static_cast<unsigned>(std::stoul(arg("closed-port", "9"))));
    check_keepalive(host);
    check_names(host);
    check_tls(host);
    check_digests();
    check_windir();
    check_xml(dir);
    check_clock();
    check_ids();
    check_sync();
    check_file_lock(dir);
    check_files(dir);

    xmlCleanupParser();
    WSACleanup();
    printf("toolchain probe: %d checks, %d failed\n", g_checks, g_failed);
    return g_failed;
}
