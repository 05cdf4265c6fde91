// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/queued_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
    // A submission failed: its entry stays in the submission queue, and the next submit
    // would send it along with its slot long since reused (a stray write, and a completion
    // counted twice). The queue takes no new requests then; those in flight still complete.
    bool refusing = false;
    // One slot per request in flight: its iovecs (they must live until completion) and
    // the caller's tag. A slot is free when `busy` is false.
    struct Slot {
        iovec iov[kMaxIovecs];
        uint64_t tag = 0;
        bool busy = false;
    };
    std::vector<Slot> slots;
};

QueuedWriter::QueuedWriter(unsigned depth, Use use) : ring_(std::make_unique<Ring>()) {
    depth_ = std::clamp(depth, 1u, 64u);
    ring_->slots.resize(depth_);
    const char* off = std::getenv("TIDEWIPE_NO_IO_URING");
    const bool refused = off && *off && std::strcmp(off, "0") != 0 &&
                         !(use == Use::Reads && std::strcmp(off, "writes") == 0);
    ring_->ok = !refused && io_uring_queue_init(depth_, &ring_->ring, 0) == 0;
    if (!ring_->ok) depth_ = 0;
}

QueuedWriter::~QueuedWriter() {
    if (!ring_->ok) return;
    Drain();
    io_uring_queue_exit(&ring_->ring);
}

bool QueuedWriter::Ok() const { return ring_->ok && !ring_->refusing; }

int QueuedWriter::Reserve(uint64_t tag, void** sqe) {
    if (!Ok() || inFlight_ >= depth_) return -1;
    size_t slot = 0;
    while (slot < ring_->slots.size() && ring_->slots[slot].busy) ++slot;
    if (slot == ring_->slots.size()) return -1;
    io_uring_sqe* e = io_uring_get_sqe(&ring_->ring);
    if (e == nullptr) return -1;
    ring_->slots[slot].tag = tag;
    *sqe = e;
    return static_cast<int>(slot);
}

bool QueuedWriter::Submit(int slot) {
    int r;
    do {
        r = io_uring_submit(&ring_->ring);
    } while (r == -EINTR);
    if (r < 1) {
        ring_->refusing = true;
        return false;
    }
    ring_->slots[static_cast<size_t>(slot)].busy = true;
    ++inFlight_;
    return true;
}

bool QueuedWriter::Queue(int fd, const iovec* iov, int count, uint64_t offset, uint64_t tag) {
    if (count < 1 || count > kMaxIovecs) return false;
    void* e = nullptr;
    const int slot = Reserve(tag, &e);
    if (slot < 0) return false;
    Ring::Slot& s = ring_->slots[static_cast<size_t>(slot)];
    std::copy(iov, iov + count, s.iov);
    io_uring_prep_writev(static_cast<io_uring_sqe*>(e), fd, s.iov, static_cast<unsigned>(count),
                         offset);
    io_uring_sqe_set_data64(static_cast<io_uring_sqe*>(e), static_cast<uint64_t>(slot));
    return Submit(slot);
}

bool QueuedWriter::QueueRead(int fd, void* buffer, size_t size, uint64_t offset, uint64_t tag) {
    if (size == 0 || size > UINT32_MAX) return false;
    void* e = nullptr;
    const int slot = Reserve(tag, &e);
    if (slot < 0) return false;
    io_uring_prep_read(static_cast<io_uring_sqe*>(e), fd, buffer, static_cast<unsigned>(size),
                       offset);
    io_uring_sqe_set_data64(static_cast<io_uring_sqe*>(e), static_cast<uint64_t>(slot));
    return Submit(slot);
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
QueuedWriter::QueuedWriter(unsigned, Use) : ring_(std::make_unique<Ring>()) {}
QueuedWriter::~QueuedWriter() = default;
bool QueuedWriter::Ok() const { return false; }
bool QueuedWriter::Queue(int, const iovec*, int, uint64_t, uint64_t) { return false; }
bool QueuedWriter::QueueRead(int, void*, size_t, uint64_t, uint64_t) { return false; }
int QueuedWriter::Reserve(uint64_t, void**) { return -1; }
bool QueuedWriter::Submit(int) { return false; }
bool QueuedWriter::Next(uint64_t*, int64_t*) { return false; }
void QueuedWriter::Drain() {}

#endif

}  // namespace tw::wipe
