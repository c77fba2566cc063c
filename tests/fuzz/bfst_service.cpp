// Fuzz target: the appliance's BFST service reading a client's byte stream.
// The service serves one end of a socket pair on this thread; the other end
// carries the input and is then closed for writing. Unless the first byte
// asks for the raw stream, the harness greets (HELLO, OPEN) and builds the
// rest from records of a type byte, an id byte, a 16-bit length and the
// bytes, whose headers announce the length given even when fewer bytes
// follow; a flag byte may spoil a header. The second bit of the first byte
// greets for deduplicated stores; a chunk record may then ask for a whole
// chunk of its bytes, offered in a query first, so chunks are stored too.
#include "appliance/bfst_service.h"
#include "appliance/blob_store.h"
#include "tests/fuzz/fuzz_store.h"
#include "bfst/bfst_proto.h"
#include "bfst/bfst_dedup.h"
#include "datamover/byteorder.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct fuzz_env {
    std::string root;
    appl_shared sh;
    bfst_service *svc = nullptr;
};

fuzz_env *env()
{
    static fuzz_env *e = [] {
        auto *f = new fuzz_env;
        fuzz_open_store(&f->sh, 8 << 20);
        f->root = f->sh.cfg.root;
        f->sh.log = appl_log_open("/dev/null", 3);
        std::string err;
        if (f->sh.log == nullptr || bfst_service_start(&f->sh, "127.0.0.1", 0, &f->svc, &err) != 0)
            abort();
        return f;
    }();
    return e;
}

void put_frame(std::vector<unsigned char> *out, uint8_t type, uint32_t id, uint32_t len, const uint8_t *p, size_t n)
{
    unsigned char h[BFST_HDR_SIZE];
    bfst_hdr_encode(h, type, id, len);
    out->insert(out->end(), h, h + sizeof h);
    out->insert(out->end(), p, p + n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The answers must fit the socket's buffer: no reader drains them.
    if (size == 0 || size > 16384)
        return 0;
    fuzz_env *e = env();
    std::vector<unsigned char> stream;
    if ((data[0] & 1) != 0) {
        stream.assign(data + 1, data + size);
    } else {
        unsigned char p[BFST_HELLO_SIZE];
        const uint32_t version = (data[0] & 2) != 0 ? BFST_PROTO_DEDUP : 1;
        bfst_hello hello{1, version, BFST_HELLO_BACKUP};
        put_frame(&stream, BFST_HELLO, 0, BFST_HELLO_SIZE, p, bfst_hello_encode(p, hello));
        unsigned char f[BFST_FLAGS_SIZE];
        put_frame(&stream, BFST_OPEN, 0, BFST_FLAGS_SIZE, f, bfst_flags_encode(f, 0));
        size_t pos = 1;
        while (pos + 5 <= size) {
            uint8_t type = data[pos], id = data[pos + 1], spoil = data[pos + 4];
            uint32_t len = be_get16(data + pos + 2);
            pos += 5;
            size_t n = std::min<size_t>(len, size - pos);
            if (type == BFST_CHUNK && (spoil & 0x40) != 0 && n > BFST_CHUNK_HDR) {
                // a chunk of the bytes after its header, offered first
                bfst_query_entry q;
                bfst_fp fp;
                bfst_fingerprint(data + pos + BFST_CHUNK_HDR, n - BFST_CHUNK_HDR, &fp);
                memcpy(q.fp, fp.b, 32);
                q.len = uint32_t(n - BFST_CHUNK_HDR);
                unsigned char qb[4 + BFST_QUERY_ENTRY];
                put_frame(&stream, BFST_CHUNK_QUERY, id, sizeof qb, qb, bfst_query_encode(qb, &q, 1));
                bfst_chunk_hdr ch;
                memcpy(ch.fp, fp.b, 32);
                ch.len = q.len;
                ch.flags = 0;
                unsigned char hb[BFST_CHUNK_HDR];
                bfst_chunk_hdr_encode(hb, ch);
                put_frame(&stream, BFST_CHUNK, id, uint32_t(n), hb, sizeof hb);
                stream.insert(stream.end(), data + pos + BFST_CHUNK_HDR, data + pos + n);
                pos += n;
                continue;
            }
            size_t at = stream.size();
            put_frame(&stream, type, id, len, data + pos, n);
            if ((spoil & 0x80) != 0)
                stream[at + (spoil & 0x0F)] ^= uint8_t(spoil << 1);
            pos += n;
        }
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        abort();
    int big = 4 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t done = 0;
    while (done < stream.size()) {
        ssize_t n = write(sv[0], stream.data() + done, stream.size() - done);
        if (n <= 0)
            abort();
        done += size_t(n);
    }
    shutdown(sv[0], SHUT_WR);
    bfst_service_serve(e->svc, sv[1]);
    close(sv[0]);
    // whatever the stream did, the connection's blobs are gone with it, and
    // the chunks nobody references are collected
    chunk_store_gc(e->sh.chunks);
    if (!blob_list(e->sh.blobs).empty() || store_used_bytes(e->sh.st) != 0)
        abort();
    return 0;
}
