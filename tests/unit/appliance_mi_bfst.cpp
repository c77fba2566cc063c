// The appliance's control requests of the BFST path, driven directly:
// space grants against the quota, holds and drops with the blob-store hook,
// the three set-extent forms, admin alerts, handles of other sessions, and
// the close that makes a file of its extents or refuses and removes it all.
#include "tests/unit/appliance_mi.h"

#include "bfst/bfst_proto.h"
#include "lib/common/com_util.h"
#include "datamover/util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

using appl_test::MiService;

namespace {

int32_t check_space(MiService &svc, mi_session *s, uint64_t h)
{
    mi_check_space_req req{0, h};
    mi_check_space_reply rep{-1, 0};
    EXPECT_EQ(svc.call(s, MI_CHECK_SPACE, &req, &rep), 0);
    return rep.status;
}

int32_t tag_op(MiService &svc, mi_session *s, uint32_t number, uint64_t h, const std::string &tag)
{
    mi_tag_req req{h, const_cast<char *>(tag.c_str())};
    return svc.status_of(s, number, &req);
}

mi_set_extent_req extent(uint64_t h, uint64_t off, uint64_t len, const char *tag)
{
    mi_set_extent_req x{};
    x.handle = h;
    x.image_offset = off;
    x.length = len;
    x.tag = const_cast<char *>(tag);
    x.virtual_sent = len;
    x.actual_sent = len + 10;
    x.bytes_input = len;
    x.unique_precompressed = len - 1;
    x.ingest_data_bytes = len;
    x.close_latency_ms = 7;
    return x;
}

}  // namespace

TEST(ApplianceBfstMi, SpaceIsGrantedOneStepPerFileWithinTheQuota)
{
    MiService svc(2 * APPL_SPACE_STEP + 100);
    mi_session *s = svc.session();
    uint64_t a = svc.create(s, "a"), b = svc.create(s, "b"), c = svc.create(s, "c");
    EXPECT_EQ(check_space(svc, s, a), 0);
    EXPECT_EQ(check_space(svc, s, b), 0);
    // Two files hold grants: a third cannot have the same last bytes.
    EXPECT_EQ(check_space(svc, s, c), MI_STS_ENOSPC);
    // A file's new grant replaces its own old one.
    EXPECT_EQ(check_space(svc, s, a), 0);
    mi_close_file_req creq{0, b};
    EXPECT_EQ(svc.status_of(s, MI_CLOSE_FILE, &creq), 0);
    EXPECT_EQ(check_space(svc, s, c), 0);

    // Only a writable file of this session may ask.
    mi_session *other = svc.session("bob");
    EXPECT_EQ(check_space(svc, other, a), MI_STS_ENOENT);
    EXPECT_EQ(check_space(svc, s, 12345), MI_STS_ENOENT);
    mi_open_file_req rreq{MI_OPEN_READ, const_cast<char *>("generic:/sh/b")};
    mi_open_file_reply rrep{};
    ASSERT_EQ(svc.call(s, MI_OPEN_FILE, &rreq, &rrep), 0);
    ASSERT_EQ(rrep.status, 0);
    EXPECT_EQ(check_space(svc, s, rrep.handle), MI_STS_EINVAL);

    // Without a quota every file gets space.
    MiService open_ended;
    mi_session *t = open_ended.session();
    uint64_t h = open_ended.create(t, "x");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(check_space(open_ended, t, h), 0);
}

TEST(ApplianceBfstMi, ExtentsNeedAHeldTagAndKeepTheirStatistics)
{
    MiService svc;
    mi_session *s = svc.session();
    uint64_t h = svc.create(s, "piece");
    const std::string t1 = "a5a5a5a500000001", t2 = "a5a5a5a500000002";

    mi_set_extent_req x = extent(h, 0, 1000, t1.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), MI_STS_EINVAL);  // not held yet
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, t1), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, t2), 0);
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), 0);
    x = extent(h, 1000, 500, t2.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_STATS, &x), 0);
    x = extent(h, 1500, 20, t2.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT, &x), 0);
    x = extent(h, UINT64_MAX - 10, 20, t2.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT, &x), MI_STS_EINVAL);

    auto hd = svc.handle(h);
    {
        std::lock_guard<std::mutex> g(hd->mu);
        ASSERT_EQ(hd->extents.size(), 3u);
        const appl_extent &e0 = hd->extents[0], &e1 = hd->extents[1], &e2 = hd->extents[2];
        EXPECT_EQ(e0.form, static_cast<uint32_t>(MI_BFST_SET_EXTENT_ACCEL));
        EXPECT_EQ(e0.tag, t1);
        EXPECT_EQ(e0.link[2], 1010u);
        EXPECT_EQ(e0.op[1], 999u);
        EXPECT_EQ(e0.ingest_data_bytes, 1000u);
        EXPECT_EQ(e0.close_latency_ms, 7u);
        // Each form keeps only the fields it carries.
        EXPECT_EQ(e1.form, static_cast<uint32_t>(MI_BFST_SET_EXTENT_STATS));
        EXPECT_EQ(e1.op[0], 500u);
        EXPECT_EQ(e1.ingest_data_bytes, 0u);
        EXPECT_EQ(e2.form, static_cast<uint32_t>(MI_BFST_SET_EXTENT));
        EXPECT_EQ(e2.op[0], 0u);
        EXPECT_EQ(e2.link[0], 20u);
        EXPECT_EQ(e2.image_off, 1500u);
    }

    // Holds are counted; a drop without a hold is refused.
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, t1), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, t1), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, t1), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, t1), MI_STS_ENOENT);
    // Tags are hexadecimal text of whole bytes, 255 bytes at most.
    for (const std::string &bad : {std::string(), std::string("abc"), std::string("zz"), std::string(512, 'a'),
                                   std::string("a5\na5")})
        EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, bad), MI_STS_EINVAL) << bad;
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, std::string(510, 'F')), 0);

    // Another session's file, and a file open for reading, take none of it.
    mi_session *other = svc.session("bob");
    EXPECT_EQ(tag_op(svc, other, MI_BFST_HOLD_TAG, h, t1), MI_STS_ENOENT);
    x = extent(h, 2000, 10, t2.c_str());
    EXPECT_EQ(svc.status_of(other, MI_BFST_SET_EXTENT_ACCEL, &x), MI_STS_ENOENT);
    mi_admin_alert_req al{h, 1, 400, const_cast<char *>("slow"), 1};
    EXPECT_EQ(svc.status_of(other, MI_ADMIN_ALERT, &al), MI_STS_ENOENT);
    {
        std::lock_guard<std::mutex> g(hd->mu);
        EXPECT_EQ(hd->extents.size(), 3u);
        EXPECT_EQ(hd->alerts, 0u);
    }
}

namespace {

struct HookLog {
    std::vector<std::pair<std::string, bool>> calls;
    std::string refuse;

    static int32_t hook(void *ctx, const appl_handle *, const std::string &tag, bool hold)
    {
        auto *self = static_cast<HookLog *>(ctx);
        self->calls.emplace_back(tag, hold);
        return tag == self->refuse ? MI_STS_EFNOTFOUND : 0;
    }
};

}  // namespace

TEST(ApplianceBfstMi, TheBlobStoreHookDecidesHoldsAndLearnsOfAbandonedOnes)
{
    MiService svc;
    HookLog log;
    log.refuse = "deadbeef";
    svc.shared().tag_hook = HookLog::hook;
    svc.shared().tag_hook_ctx = &log;
    mi_session *s = svc.session();
    uint64_t h = svc.create(s, "piece");
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, "0102"), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, "0304"), 0);
    // A tag the blob store does not know is refused and not held.
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, "deadbeef"), MI_STS_EFNOTFOUND);
    mi_set_extent_req x = extent(h, 0, 10, "deadbeef");
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), MI_STS_EINVAL);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, "0102"), 0);
    using Calls = std::vector<std::pair<std::string, bool>>;
    EXPECT_EQ(log.calls, (Calls{{"0102", true}, {"0304", true}, {"deadbeef", true}, {"0102", false}}));

    // The blob store hears of a tag once: the first hold and the last drop
    // (upper-case digits name the same tag).
    log.calls.clear();
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, "0A0b"), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, "0a0B"), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, "0a0b"), 0);
    EXPECT_EQ(log.calls, (Calls{{"0a0b", true}}));
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, "0a0b"), 0);
    EXPECT_EQ(log.calls, (Calls{{"0a0b", true}, {"0a0b", false}}));

    // The control connection goes away: the file's remaining holds are let go.
    mi_session *gone = svc.session("bob");
    uint64_t g = svc.create(gone, "unfinished");
    EXPECT_EQ(tag_op(svc, gone, MI_BFST_HOLD_TAG, g, "0506"), 0);
    EXPECT_EQ(tag_op(svc, gone, MI_BFST_HOLD_TAG, g, "0506"), 0);
    log.calls.clear();
    svc.release(gone);
    EXPECT_EQ(log.calls, (Calls{{"0506", false}}));
    EXPECT_EQ(svc.handle(g), nullptr);
    svc.shared().tag_hook = nullptr;
}

TEST(ApplianceBfstMi, AdminAlertsAreLoggedAndCountedAndCanBeSwitchedOff)
{
    MiService svc;
    kes_test::TempDir dir;
    std::string path = dir / "appliance.log";
    svc.shared().log = appl_log_open(path.c_str(), APPL_LOG_INFO);
    ASSERT_NE(svc.shared().log, nullptr);
    mi_session *s = svc.session();
    uint64_t h = svc.create(s, "piece");
    mi_admin_alert_req al{h, 4242, 301, const_cast<char *>("x.cpp:1, f(): bfst2_store_buffer\n\x1b[2J"), 1};
    EXPECT_EQ(svc.status_of(s, MI_ADMIN_ALERT, &al), 0);
    al.kind = 9;
    svc.shared().cfg.refuse_admin_alerts = true;
    EXPECT_EQ(svc.status_of(s, MI_ADMIN_ALERT, &al), MI_STS_EADMINALERTDISABLED);
    al.handle = h + 1;
    EXPECT_EQ(svc.status_of(s, MI_ADMIN_ALERT, &al), MI_STS_ENOENT);
    {
        auto hd = svc.handle(h);
        std::lock_guard<std::mutex> g(hd->mu);
        EXPECT_EQ(hd->alerts, 2u);
    }
    EXPECT_EQ(svc.shared().admin_alerts.load(), 2u);
    appl_log_close(svc.shared().log);
    svc.shared().log = nullptr;
    std::string text = kes_test::read_file(path);
    EXPECT_NE(text.find("admin alert 1 for sh/piece from alice (pid 4242): call took 301 s, kind 1: "
                        "x.cpp:1, f(): bfst2_store_buffer??[2J\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("kind 9: x.cpp:1, f(): bfst2_store_buffer??[2J (alerts are switched off)"), std::string::npos);
}

namespace {

// A blob as the BFST service stores it; its tag text.
std::string put_blob(MiService &svc, const std::string &data)
{
    blob_writer *w = nullptr;
    EXPECT_EQ(blob_create(svc.shared().blobs, 1, &w), 0);
    EXPECT_EQ(blob_append(w, data.data(), data.size()), 0);
    char hex[BLOB_TAG_TEXT + 1];
    bfst_hex(blob_writer_tag(w), BLOB_TAG_BYTES, hex);
    EXPECT_EQ(blob_finish(w), 0);
    return hex;
}

int32_t close_file(MiService &svc, mi_session *s, uint64_t h)
{
    mi_close_file_req req{0, h};
    return svc.status_of(s, MI_CLOSE_FILE, &req);
}

std::string stored(MiService &svc, const std::string &name)
{
    std::shared_ptr<store_file> f;
    if (store_file_open(svc.shared().st, "sh/" + name, STORE_READ, &f) != 0)
        return "<none>";
    std::string out(store_file_size(f.get()), '\0');
    size_t got = 0;
    EXPECT_EQ(store_file_pread(f.get(), out.data(), out.size(), 0, &got), 0);
    out.resize(got);
    return out;
}

}  // namespace

TEST(ApplianceBfstMi, CloseMakesTheFileOfItsExtentsWithoutCopyingTheBlobs)
{
    MiService svc(0, true);
    mi_session *s = svc.session();
    uint64_t h = svc.create(s, "piece");
    const std::string a = put_blob(svc, std::string(1000, 'a')), b = put_blob(svc, std::string(500, 'b'));
    // upper-case digits hold the same blob
    std::string upper = a;
    for (char &c : upper)
        c = char(toupper(c));
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, upper), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, b), 0);
    mi_set_extent_req x = extent(h, 1000, 500, b.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), 0);
    x = extent(h, 0, 1000, a.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), 0);
    EXPECT_EQ(close_file(svc, s, h), 0);
    EXPECT_EQ(stored(svc, "piece"), std::string(1000, 'a') + std::string(500, 'b'));
    // the blobs are the file's now, counted once
    EXPECT_TRUE(blob_list(svc.shared().blobs).empty());
    EXPECT_EQ(access((svc.root() + "/.bfst/" + a).c_str(), F_OK), 0);
    EXPECT_EQ(store_used_bytes(svc.shared().st), 1500u + STORE_SEG_HDR + 2 * STORE_SEG_ENTRY);
}

TEST(ApplianceBfstMi, ACloseWhoseExtentsDoNotAddUpFailsAndLeavesNothing)
{
    MiService svc(0, true);
    mi_session *s = svc.session();
    struct Case {
        const char *name;
        std::vector<std::pair<uint64_t, uint64_t>> extents;  // file offset, length; blob i for extent i
        bool drop_second = false;  // the second blob is dropped after its extent
        bool hold_spare = false;   // a third blob is held and never used
    } cases[] = {
        {"gap", {{0, 1000}, {1100, 500}}},
        {"overlap", {{0, 1000}, {900, 500}}},
        {"late start", {{10, 1000}, {1010, 500}}},
        {"past the blob", {{0, 1000}, {1000, 501}}},
        {"dropped", {{0, 1000}, {1000, 500}}, true},
        {"spare", {{0, 1000}, {1000, 500}}, false, true},
        {"held only", {}, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t h = svc.create(s, c.name);
        std::vector<std::string> tags = {put_blob(svc, std::string(1000, 'a')), put_blob(svc, std::string(500, 'b'))};
        if (c.hold_spare)
            tags.push_back(put_blob(svc, "spare"));
        for (const std::string &t : tags)
            EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h, t), 0);
        for (size_t i = 0; i < c.extents.size(); i++) {
            mi_set_extent_req x = extent(h, c.extents[i].first, c.extents[i].second, tags[i].c_str());
            EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), 0);
        }
        if (c.drop_second) {
            EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h, tags[1]), 0);
        }
        EXPECT_EQ(close_file(svc, s, h), MI_STS_EABORT);
        EXPECT_EQ(stored(svc, c.name), "<none>");
        // every blob it held went with it
        blob_remove_unheld(svc.shared().blobs, 1);
        EXPECT_TRUE(blob_list(svc.shared().blobs).empty());
        EXPECT_EQ(store_used_bytes(svc.shared().st), 0u);
    }
}

TEST(ApplianceBfstMi, ABlobIsHeldByOneFileAndGoesWhenItsSessionEnds)
{
    MiService svc(0, true);
    mi_session *s = svc.session(), *t = svc.session("bob");
    uint64_t h1 = svc.create(s, "one"), h2 = svc.create(s, "two"), h3 = svc.create(t, "three");
    const std::string a = put_blob(svc, "bytes of a");
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h1, a), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h2, a), MI_STS_EACCESS);
    EXPECT_EQ(tag_op(svc, t, MI_BFST_HOLD_TAG, h3, a), MI_STS_EACCESS);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h1, std::string(64, 'c')), MI_STS_EFNOTFOUND);
    mi_set_extent_req x = extent(h2, 0, 10, a.c_str());
    EXPECT_EQ(svc.status_of(s, MI_BFST_SET_EXTENT_ACCEL, &x), MI_STS_EINVAL);
    // a drop lets go at once; the blob goes with the last hold
    const std::string b = put_blob(svc, "bytes of b");
    EXPECT_EQ(tag_op(svc, s, MI_BFST_HOLD_TAG, h2, b), 0);
    EXPECT_EQ(tag_op(svc, s, MI_BFST_DROP_TAG, h2, b), 0);
    blob_info bi;
    EXPECT_EQ(blob_find(svc.shared().blobs, b, &bi), KES_ENOENT);
    // the control connection ends with the file unclosed
    svc.release(s);
    EXPECT_EQ(blob_find(svc.shared().blobs, a, &bi), KES_ENOENT);
    EXPECT_EQ(store_used_bytes(svc.shared().st), 0u);
}
