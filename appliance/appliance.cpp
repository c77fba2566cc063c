// Appliance start and stop, and the table of files opened through the
// control protocol.
#include "appliance/appliance.h"

#include "appliance/appl_conf.h"
#include "appliance/blob_store.h"
#include "appliance/chunk_store.h"
#include "appliance/bfst_service.h"
#include "appliance/server.h"
#include "appliance/service.h"
#include "datamover/util.h"
#include "datamover/xcomm_ssl.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

struct appliance {
    appl_shared sh;
    appl_server *mi = nullptr;
    appl_server *dm = nullptr;
    bfst_service *bfst = nullptr;
};

// ---------------------------------------------------------------- handles

int appl_random(void *buf, size_t len)
{
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = getrandom(p + done, len - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    if (done == len)
        return 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    while (done < len) {
        ssize_t n = read(fd, p + done, len - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    return done == len ? 0 : -1;
}

std::shared_ptr<appl_handle> appl_handle_add(appl_shared *sh, uint64_t owner, const std::string &user, int mi_mode,
                                             std::shared_ptr<store_file> file)
{
    auto h = std::make_shared<appl_handle>();
    h->owner = owner;
    h->user = user;
    h->mi_mode = mi_mode;
    h->file = std::move(file);
    std::lock_guard<std::mutex> lk(sh->hmu);
    // Unpredictable, non-zero handles: a data-mover client can only name a
    // file it was given through an authenticated control connection.
    for (;;) {
        uint64_t id = 0;
        if (appl_random(&id, sizeof id) != 0)
            id = sh->next_session.fetch_add(1) * 0x9E3779B97F4A7C15ULL;
        id &= 0x7FFFFFFFFFFFFFFFULL;
        if (id != 0 && sh->handles.find(id) == sh->handles.end()) {
            h->id = id;
            break;
        }
    }
    sh->handles[h->id] = h;
    return h;
}

void appl_handle_fail(appl_handle *h, int status)
{
    int none = 0;
    h->data_failure.compare_exchange_strong(none, status != 0 ? status : KES_EIO);
}

namespace {

// The segments of a file written through the BFST service, from its extents
// and the blobs it holds (h->mu held). 0 or KES_EINVAL with *why.
int extent_segments(appl_shared *sh, appl_handle *h, std::vector<store_seg> *segs, const char **why)
{
    if (sh->blobs == nullptr || sh->tag_hook == nullptr) {
        *why = "no blob store serves its extents";
        return KES_EINVAL;
    }
    if (store_file_size(h->file.get()) != 0) {
        *why = "data arrived for it both through the data mover and as extents";
        return KES_EINVAL;
    }
    std::set<std::string> used;
    for (const appl_extent &e : h->extents) {
        uint64_t size = 0;
        if (h->held_tags.count(e.tag) == 0 || blob_held(sh->blobs, e.tag, h->id, &size) != 0) {
            *why = "the blob of an extent is not held by the file";
            return KES_EINVAL;
        }
        used.insert(e.tag);
        if (e.length != 0)  // an empty blob adds nothing
            segs->push_back(store_seg{e.tag, size, e.image_off, e.tag_off, e.length});
    }
    // A blob held and never recorded as an extent holds bytes the file lacks.
    if (used.size() != h->held_tags.size()) {
        *why = "it holds a blob that no extent of it uses";
        return KES_EINVAL;
    }
    uint64_t total = 0;
    if (!segs->empty() && store_segs_check(segs, &total, why) != 0)
        return KES_EINVAL;
    return 0;
}

}  // namespace

int appl_handle_incomplete(appl_shared *sh, appl_handle *h, std::vector<store_seg> *segs, const char **why)
{
    segs->clear();
    int failure = h->data_failure.load();
    if (failure == KES_ENOSPC) {
        *why = "a write was refused for lack of space";
        return failure;
    }
    if (failure == KES_ECONNRESET) {
        *why = "its data-mover connection went away before closing it";
        return failure;
    }
    if (failure != 0) {
        *why = "a write of its data failed";
        return failure;
    }
    if (h->dm_writers.load() != 0) {
        *why = "its data-mover writer has not closed it";
        return KES_EPIPE;
    }
    *why = nullptr;
    std::lock_guard<std::mutex> lk(h->mu);
    if (h->extents.empty() && h->held_tags.empty())
        return 0;
    int rc = extent_segments(sh, h, segs, why);
    if (rc != 0)
        segs->clear();
    return rc;
}

std::shared_ptr<appl_handle> appl_handle_find(appl_shared *sh, uint64_t id)
{
    std::lock_guard<std::mutex> lk(sh->hmu);
    auto it = sh->handles.find(id);
    return it == sh->handles.end() ? nullptr : it->second;
}

std::shared_ptr<appl_handle> appl_handle_take(appl_shared *sh, uint64_t id, uint64_t owner)
{
    std::lock_guard<std::mutex> lk(sh->hmu);
    auto it = sh->handles.find(id);
    if (it == sh->handles.end() || it->second->owner != owner)
        return nullptr;
    auto h = it->second;
    sh->handles.erase(it);
    return h;
}

std::vector<std::shared_ptr<appl_handle>> appl_handle_take_all(appl_shared *sh, uint64_t owner)
{
    std::vector<std::shared_ptr<appl_handle>> res;
    std::lock_guard<std::mutex> lk(sh->hmu);
    for (auto it = sh->handles.begin(); it != sh->handles.end();) {
        if (it->second->owner == owner) {
            res.push_back(it->second);
            it = sh->handles.erase(it);
        } else {
            ++it;
        }
    }
    return res;
}

// ---------------------------------------------------------------- start and stop

namespace {

// The TLS context every control and data-mover connection shares, made once
// from --tls-dir, so that a file that is missing or does not fit stops the
// start instead of every handshake. 0, or -1 with a message.
int appl_tls_start(appl_shared *sh, std::string *msg)
{
    const appliance_config &cfg = sh->cfg;
    if (cfg.tls_dir.empty()) {
        if (cfg.tls_required) {
            *msg = "--tls-required needs --tls-dir DIR (cacert.pem, cert.pem, key.pem)";
            return -1;
        }
        return 0;
    }
    std::string crl = cfg.tls_dir + "/crl.pem";
    struct stat sb;
    bool have_crl = stat(crl.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
    char why[1200] = "";
    int rc = xcomm_ssl_ctx_new(cfg.tls_dir.c_str(), have_crl ? crl.c_str() : nullptr, 1, &sh->tls_ctx, why,
                               sizeof why);
    if (rc == XCOMM_ERR_NOSUP && !cfg.tls_required) {
        ALOG(sh->log, APPL_LOG_WARNING, "control and data-mover connections cannot use TLS: %s", why);
        return 0;
    }
    if (rc != 0) {
        *msg = std::string("TLS of the control and data-mover services (--tls-dir ") + cfg.tls_dir + "): " + why;
        return -1;
    }
    ALOG(sh->log, APPL_LOG_INFO, "TLS 1.2 (AES256-SHA256) with the certificates of %s%s, %s", cfg.tls_dir.c_str(),
         have_crl ? " and its revocation list" : "",
         cfg.tls_required ? "required of every client not on 127.0.0.1" : "for clients that ask for it");
    return 0;
}

}  // namespace

int appliance_start(const appliance_config &cfg, appliance **out, std::string *msg)
{
    *out = nullptr;
    auto *app = new appliance;
    app->sh.cfg = cfg;
    app->sh.log = appl_log_open(cfg.log_file.c_str(), cfg.log_level);
    if (app->sh.log == nullptr) {
        *msg = "cannot open log file " + cfg.log_file + ": " + strerror(errno);
        delete app;
        return -1;
    }
    if (cfg.pref_bsz == 0) {
        *msg = "the preferred block size must not be 0";
        appliance_stop(app);
        return -1;
    }
    app->sh.adm.lim.max_in = cfg.max_conns_per_addr;
    app->sh.adm.lim.max_waiting = cfg.max_pending_per_addr;
    std::string err;
    if (store_open(cfg.root, cfg.quota, &app->sh.st, &err) != 0) {
        *msg = err;
        appliance_stop(app);
        return -1;
    }
    // Blobs of an earlier run that no complete file uses are leftovers; the
    // store counted the others.
    blob_store_sweep(cfg.root, store_blob_refs(app->sh.st));
    store_set_verify(app->sh.st, cfg.verify_reads);
    if (appl_tls_start(&app->sh, msg) != 0) {
        appliance_stop(app);
        return -1;
    }
    if (store_adopted_files(app->sh.st) != 0)
        ALOG(app->sh.log, APPL_LOG_NOTICE, "computed the checksums of %llu stored files that had none",
             (unsigned long long)store_adopted_files(app->sh.st));
    if (!cfg.verify_reads)
        ALOG(app->sh.log, APPL_LOG_WARNING, "reads are not checked against the stored checksums");
    if (blob_store_open(app->sh.st, cfg.root, &app->sh.blobs, &err) != 0) {
        *msg = err;
        appliance_stop(app);
        return -1;
    }
    // After the sweep: the recipes left are those of complete files. Open
    // even with deduplication off, so that files kept as recipes stay
    // readable and removable.
    if (chunk_store_open(app->sh.st, cfg.root, cfg.gc_pause_ms, &app->sh.chunks, &err) != 0) {
        *msg = err;
        appliance_stop(app);
        return -1;
    }
    blob_store_set_chunks(app->sh.blobs, app->sh.chunks);
    store_set_chunks(app->sh.st, app->sh.chunks);
    {
        chunk_stats cst = chunk_store_stats(app->sh.chunks);
        ALOG(app->sh.log, APPL_LOG_INFO, "chunk store: %llu chunks of %llu bytes in %llu bytes of %llu containers",
             (unsigned long long)cst.chunks, (unsigned long long)cst.raw, (unsigned long long)cst.disk,
             (unsigned long long)cst.containers);
    }
    if (!cfg.dedup)
        ALOG(app->sh.log, APPL_LOG_NOTICE, "deduplication is off: BFST backups are kept as they arrive");
    // Files hold the blobs they are made of through the control service.
    app->sh.tag_hook = appl_blob_tag_hook;
    app->sh.tag_hook_ctx = app->sh.blobs;
    // The data mover first: the control service reports its port.
    if (appl_server_start(&app->sh, APPL_SVC_DM, cfg.listen_addr, cfg.dm_port, &app->dm, msg) != 0) {
        appliance_stop(app);
        return -1;
    }
    app->sh.dm_port = appl_server_port(app->dm);
    // The transfer library's service before the control service, so that
    // whoever sees the control port open finds every service there.
    uint16_t bfst_port = cfg.bfst_port >= 0 ? uint16_t(cfg.bfst_port) : cfg.mi_port == 0 ? 0 : 1062;
    if (bfst_service_start(&app->sh, cfg.listen_addr, bfst_port, &app->bfst, msg) != 0) {
        appliance_stop(app);
        return -1;
    }
    if (appl_server_start(&app->sh, APPL_SVC_MI, cfg.listen_addr, cfg.mi_port, &app->mi, msg) != 0) {
        appliance_stop(app);
        return -1;
    }
    ALOG(app->sh.log, APPL_LOG_NOTICE,
         "appliance serving %s on %s: control port %u, data-mover port %u, %zu users, quota %llu bytes, %llu in use",
         cfg.root.c_str(), cfg.listen_addr.c_str(), unsigned(appliance_mi_port(app)), unsigned(app->sh.dm_port),
         cfg.users.size(), (unsigned long long)cfg.quota, (unsigned long long)store_used_bytes(app->sh.st));
    for (const appliance_user &u : cfg.users) {
        if (u.shares.empty())
            continue;
        std::string list;
        for (const std::string &sh : u.shares)
            list += (list.empty() ? "" : ",") + sh;
        ALOG(app->sh.log, APPL_LOG_INFO, "user '%s' reaches only the shares %s", u.name.c_str(), list.c_str());
    }
    *out = app;
    return 0;
}

void appliance_stop(appliance *app)
{
    if (app == nullptr)
        return;
    bfst_service_stop(app->bfst);
    appl_server_stop(app->mi);
    appl_server_stop(app->dm);
    {
        // Files still open through control connections are gone with them.
        std::unordered_map<uint64_t, std::shared_ptr<appl_handle>> left;
        {
            std::lock_guard<std::mutex> lk(app->sh.hmu);
            left.swap(app->sh.handles);
        }
        for (auto &kv : left)
            store_file_abandon(kv.second->file.get());
    }
    if (app->sh.blobs != nullptr)
        blob_store_close(app->sh.blobs);
    if (app->sh.chunks != nullptr) {
        if (app->sh.st != nullptr)
            store_set_chunks(app->sh.st, nullptr);
        chunk_store_close(app->sh.chunks);
    }
    if (app->sh.st != nullptr)
        store_close(app->sh.st);
    xcomm_ssl_ctx_free(app->sh.tls_ctx);
    if (app->sh.log != nullptr)
        ALOG(app->sh.log, APPL_LOG_NOTICE, "appliance stopped");
    appl_log_close(app->sh.log);
    delete app;
}

size_t appliance_verify(const appliance_config &cfg, std::string *report)
{
    std::vector<std::string> problems;
    chunk_stats st;
    size_t n = chunk_store_verify(cfg.root, &problems, &st);
    char line[256];
    for (const std::string &p : problems)
        *report += p + "\n";
    snprintf(line, sizeof line,
             "checked %llu chunks (%llu bytes) in %llu containers of %llu bytes under %s: %zu problems\n",
             (unsigned long long)st.chunks, (unsigned long long)st.raw, (unsigned long long)st.containers,
             (unsigned long long)st.disk, cfg.root.c_str(), n);
    *report += line;
    return n;
}

uint16_t appliance_mi_port(const appliance *app) { return app->mi != nullptr ? appl_server_port(app->mi) : 0; }
uint16_t appliance_dm_port(const appliance *app) { return app->sh.dm_port; }
uint16_t appliance_bfst_port(const appliance *app) { return app->bfst != nullptr ? bfst_service_port(app->bfst) : 0; }
blob_store *appliance_blob_store(appliance *app) { return app->sh.blobs; }
chunk_store *appliance_chunk_store(appliance *app) { return app->sh.chunks; }
uint64_t appliance_used_bytes(const appliance *app) { return store_used_bytes(app->sh.st); }
