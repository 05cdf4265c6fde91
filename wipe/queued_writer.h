// SPDX-License-Identifier: GPL-3.0-or-later
// Positioned writes with several requests in flight (io_uring), for the unbuffered
// passes of the wipers and the free-space fill, and the reads that check the last pass
// afterwards: a device (or a FUSE daemon) kept busy with a few large requests at once
// reaches its full speed, one request at a time does not. Where io_uring is missing or
// refused, or TIDEWIPE_NO_IO_URING is set (to anything but "0"), Ok() is false and
// callers go one request at a time with pwrite/pwritev/pread. Set to "writes", it turns
// off the queued writes only: the writes then pass through pwrite/pwritev (where a test
// can make one of them go missing) while the read-back still reads ahead.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>

namespace tw::wipe {

class QueuedWriter {
  public:
    enum class Use { Writes, Reads };
    // Up to `depth` requests in flight (at most 64).
    explicit QueuedWriter(unsigned depth = 4, Use use = Use::Writes);
    ~QueuedWriter();
    QueuedWriter(const QueuedWriter&) = delete;
    QueuedWriter& operator=(const QueuedWriter&) = delete;

    bool Ok() const;
    unsigned Depth() const { return depth_; }
    unsigned InFlight() const { return inFlight_; }

    // Queues a vectored write of up to kMaxIovecs iovecs at `offset` of `fd` and submits
    // it. The iovecs are copied; the memory they point at must stay untouched until the
    // request completes. `tag` comes back with the completion. False when the queue is
    // full or the submission failed (nothing is in flight for it then; after a failed
    // submission Ok() is false and the queue takes no more requests).
    static constexpr int kMaxIovecs = 12;
    bool Queue(int fd, const iovec* iov, int count, uint64_t offset, uint64_t tag);
    // The same for a read of `size` bytes into `buffer` (untouched until it completes).
    bool QueueRead(int fd, void* buffer, size_t size, uint64_t offset, uint64_t tag);

    // Waits for the next completion: its tag and its result (bytes moved, or -errno).
    // False when nothing is in flight.
    bool Next(uint64_t* tag, int64_t* result);

    // Waits until nothing is in flight, ignoring the results.
    void Drain();

  private:
    // Takes a free slot and a submission entry for a request tagged `tag`: the slot's
    // index, or -1 when the queue is full.
    int Reserve(uint64_t tag, void** sqe);
    bool Submit(int slot);

    struct Ring;
    std::unique_ptr<Ring> ring_;
    unsigned depth_ = 0;
    unsigned inFlight_ = 0;
};

}  // namespace tw::wipe
