// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/queued_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef TW_HAVE_URING
#include <liburing.h>
#endif

namespace tw::wipe {

#ifdef TW_HAVE_URING

struct QueuedWriter::Ring {
    io_uring ring{};
    bool ok = false;
    // One slot per request in flight: its iovecs (they must live until completion) and
    // the caller's tag. A slot is free when `busy` is false.
    struct Slot {
        iovec iov[kMaxIovecs];
        uint64_t tag = 0;
        bool busy = false;
    };
    std::vector<Slot> slots;
};

QueuedWriter::QueuedWriter(unsigned depth) : ring_(std::make_unique<Ring>()) {
    depth_ = std::clamp(depth, 1u, 64u);
    ring_->slots.resize(depth_);
    const char* off = std::getenv("TIDEWIPE_NO_IO_URING");
    ring_->ok = !(off && *off && std::strcmp(off, "0") != 0) &&
                io_uring_queue_init(depth_, &ring_->ring, 0) == 0;
    if (!ring_->ok) depth_ = 0;
}

QueuedWriter::~QueuedWriter() {
    if (!ring_->ok) return;
    Drain();
    io_uring_queue_exit(&ring_->ring);
}

bool QueuedWriter::Ok() const { return ring_->ok; }

bool QueuedWriter::Queue(int fd, const iovec* iov, int count, uint64_t offset, uint64_t tag) {
    if (!ring_->ok || inFlight_ >= depth_ || count < 1 || count > kMaxIovecs) return false;
    size_t slot = 0;
    while (slot < ring_->slots.size() && ring_->slots[slot].busy) ++slot;
    if (slot == ring_->slots.size()) return false;
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_->ring);
    if (sqe == nullptr) return false;
    Ring::Slot& s = ring_->slots[slot];
    std::copy(iov, iov + count, s.iov);
    s.tag = tag;
    io_uring_prep_writev(sqe, fd, s.iov, static_cast<unsigned>(count), offset);
    io_uring_sqe_set_data64(sqe, slot);
    int r;
    do {
        r = io_uring_submit(&ring_->ring);
    } while (r == -EINTR);
    if (r < 1) return false;
    s.busy = true;
    ++inFlight_;
    return true;
}

bool QueuedWriter::Next(uint64_t* tag, int64_t* result) {
    if (!ring_->ok || inFlight_ == 0) return false;
    io_uring_cqe* cqe = nullptr;
    int r;
    do {
        r = io_uring_wait_cqe(&ring_->ring, &cqe);
    } while (r == -EINTR);
    if (r < 0 || cqe == nullptr) return false;
    const uint64_t slot = io_uring_cqe_get_data64(cqe);
    *result = cqe->res;
    io_uring_cqe_seen(&ring_->ring, cqe);
    if (slot < ring_->slots.size()) {
        *tag = ring_->slots[slot].tag;
        ring_->slots[slot].busy = false;
    }
    --inFlight_;
    return true;
}

void QueuedWriter::Drain() {
    uint64_t tag;
    int64_t res;
    while (inFlight_ > 0 && Next(&tag, &res)) {
    }
}

#else  // no io_uring: every caller takes its one-request-at-a-time path

struct QueuedWriter::Ring {};
QueuedWriter::QueuedWriter(unsigned) : ring_(std::make_unique<Ring>()) {}
QueuedWriter::~QueuedWriter() = default;
bool QueuedWriter::Ok() const { return false; }
bool QueuedWriter::Queue(int, const iovec*, int, uint64_t, uint64_t) { return false; }
bool QueuedWriter::Next(uint64_t*, int64_t*) { return false; }
void QueuedWriter::Drain() {}

#endif

}  // namespace tw::wipe
