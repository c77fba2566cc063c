// Wire codec and messages: the 24-byte header in network order, allocation and
// freeing of messages, the reply set-up of a server's answer, and their text form.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "datamover/byteorder.h"
#include "datamover/xcomm_int.h"

using namespace xcomm_detail;

namespace {

std::atomic<uint64_t> g_msgs_allocated{0};
std::atomic<uint64_t> g_msgs_freed{0};

}  // namespace

// ---------------------------------------------------------------- header

void xcomm_hdr_encode(const xcomm_hdr *h, unsigned char out[XCOMM_HDR_SIZE])
{
    be_put8(out, h->type);
    be_put8(out + 1, h->sz_u);
    be_put16(out + 2, h->sz_l);
    be_put16(out + 4, h->rpc_id);
    be_put16(out + 6, h->msg_id);
    be_put32(out + 8, h->seq_no);
    be_put32(out + 12, h->gen_no);
    be_put64(out + 16, h->tag);
}

void xcomm_hdr_decode(const unsigned char in[XCOMM_HDR_SIZE], xcomm_hdr *h)
{
    h->type = be_get8(in);
    h->sz_u = be_get8(in + 1);
    h->sz_l = be_get16(in + 2);
    h->rpc_id = be_get16(in + 4);
    h->msg_id = be_get16(in + 6);
    h->seq_no = be_get32(in + 8);
    h->gen_no = be_get32(in + 12);
    h->tag = be_get64(in + 16);
}

// ---------------------------------------------------------------- messages

xcomm_msg *xcomm_msg_alloc(uint32_t size)
{
    if (size > XCOMM_MAX_PAYLOAD)
        return nullptr;
    void *p = calloc(1, XCOMM_MSG_CB_SIZE + size);
    if (p == nullptr)
        return nullptr;
    xcomm_msg *m = static_cast<xcomm_msg *>(p);
    m->magic = XCOMM_MAGIC_IN_USE;
    m->data_size = size;
    xcomm_hdr_set_size(&m->hdr, size);
    if (size != 0) {
        m->sgl_ents = 1;
        m->sgl[0].iov_len = size;
        m->sgl[0].iov_base = xcomm_msg_data(m);
    }
    g_msgs_allocated.fetch_add(1, std::memory_order_relaxed);
    return m;
}

void xcomm_msg_reply_to(xcomm_msg *rsp, const xcomm_msg *req)
{
    if (rsp == nullptr || req == nullptr)
        return;
    rsp->hdr.type = XCOMM_MSG_RSP;
    rsp->hdr.rpc_id = req->hdr.rpc_id;
    rsp->fd = req->fd;
    rsp->fd_gen = req->fd_gen;
}

int xcomm_msg_free(xcomm_msg *msg)
{
    if (msg == nullptr) {
        ULOG_ERROR(SRC, "Invalid Arguments: msg(NULL)\n");
        return XCOMM_ERR_NOMSG;
    }
    XASSERT(msg->magic == XCOMM_MAGIC_IN_USE);
    msg->magic = XCOMM_MAGIC_FREE;
    g_msgs_freed.fetch_add(1, std::memory_order_relaxed);
    free(msg);
    return 0;
}

uint64_t xcomm_msgs_allocated() { return g_msgs_allocated.load(); }
uint64_t xcomm_msgs_freed() { return g_msgs_freed.load(); }

char *xcomm_msg_to_str(const xcomm_msg *msg, char *buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return buf;
    if (msg == nullptr) {
        snprintf(buf, len, "msg[(nil)]");
        return buf;
    }
    snprintf(buf, len,
             "msg[%p] type[%d] sz[%d] tag[%llx] msg_id[%d] rpc_id[%d] seq_no[%d] fd[%p] sgl_ents[%d], status[%d] "
             "retries[%d], flag[%d]",
             static_cast<const void *>(msg), msg->hdr.type, static_cast<int>(xcomm_hdr_get_size(&msg->hdr)),
             static_cast<unsigned long long>(msg->hdr.tag), msg->hdr.msg_id, msg->hdr.rpc_id,
             static_cast<int>(msg->hdr.seq_no), static_cast<void *>(msg->fd), msg->sgl_ents, msg->status,
             msg->retries, msg->flag);
    return buf;
}
