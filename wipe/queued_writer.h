// SPDX-License-Identifier: GPL-3.0-or-later
// Positioned writes with several requests in flight (io_uring), for the unbuffered
// passes of the wipers and the free-space fill: a device (or a FUSE daemon) kept busy
// with a few large requests at once reaches its full speed, one request at a time does
// not. Where io_uring is missing or refused, or TIDEWIPE_NO_IO_URING is set (to anything
// but "0"), Ok() is false and callers write with pwrite/pwritev one request at a time.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>

namespace tw::wipe {

class QueuedWriter {
  public:
    // Up to `depth` requests in flight (at most 64).
    explicit QueuedWriter(unsigned depth = 4);
    ~QueuedWriter();
    QueuedWriter(const QueuedWriter&) = delete;
    QueuedWriter& operator=(const QueuedWriter&) = delete;

    bool Ok() const;
    unsigned Depth() const { return depth_; }
    unsigned InFlight() const { return inFlight_; }

    // Queues a vectored write of up to kMaxIovecs iovecs at `offset` of `fd` and submits
    // it. The iovecs are copied; the memory they point at must stay untouched until the
    // request completes. `tag` comes back with the completion. False when the queue is
    // full or the submission failed (nothing is in flight for it then).
    static constexpr int kMaxIovecs = 12;
    bool Queue(int fd, const iovec* iov, int count, uint64_t offset, uint64_t tag);

    // Waits for the next completion: its tag and its result (bytes written, or -errno).
    // False when nothing is in flight.
    bool Next(uint64_t* tag, int64_t* result);

    // Waits until nothing is in flight, ignoring the results.
    void Drain();

  private:
    struct Ring;
    std::unique_ptr<Ring> ring_;
    unsigned depth_ = 0;
    unsigned inFlight_ = 0;
};

}  // namespace tw::wipe
