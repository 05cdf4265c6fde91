// SPDX-License-Identifier: GPL-3.0-or-later
// The overwrite passes every wipe in Tidewipe writes, and the random source behind them.
//
// Random source: the classic runtime linear congruential generator,
//     state = state * 214013 + 2531011 (mod 2^32), output = (state >> 16) & 0x7FFF,
// one generator per thread. A random byte is the low 8 bits of one output; a random
// letter is 'a' + output % 26. Every wiper construction reseeds the calling thread's
// generator with the time in whole seconds, so two wipes started within the same second
// on one thread draw the same sequence: that is intended, the data only has to differ
// from what was there before, not be unpredictable.
//
// Pass table (passes numbered from 1):
//
//   pass        fixed-pattern mode                  random-data mode
//   1           every byte 0x00                     every byte a fresh random byte
//   2           every byte 0xFF                     the whole buffer inverted (XOR 0xFF)
//   3, 5, 7...  one fresh random byte R, repeated   every byte a fresh random byte
//   4, 6, 8...  ~(first byte of the buffer), rep.   the whole buffer inverted
//
// "Inverted" always means the complement of what the previous pass left in the buffer,
// so the buffer must be filled pass after pass, in order, without being touched between
// passes. In random-data mode the random block is one buffer long and the same block is
// written over every buffer-sized piece of the file within one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tw::wipe {

// Reseeds the calling thread's generator.
void SeedWipeRandom(uint32_t seed);
// The next 15-bit output (0..0x7FFF) of the calling thread's generator.
uint32_t WipeRand();
// Low 8 bits of one output.
uint8_t WipeRandomByte();
// 'a' + output % 26.
char WipeRandomLetter();

// Fills `buffer` (size bytes) for pass `passNumber` (1-based) by the table above.
// For every pass after the first the buffer must still hold what the previous call
// left in it: pass 2 and every even pass derive their data from it. A size of 0 or a
// pass number below 1 leaves the buffer untouched (and draws no random number).
void FillPassBuffer(uint8_t* buffer, size_t size, int passNumber, bool randomMode);

// A page-aligned, zero-filled heap buffer, as unbuffered (O_DIRECT) writes need.
// `Ok()` is false when the allocation failed (or size was 0); data() is then null.
class AlignedBuffer {
  public:
    explicit AlignedBuffer(size_t size);
    uint8_t* data() const { return data_.get(); }
    size_t size() const { return data_ ? size_ : 0; }
    bool Ok() const { return data_ != nullptr; }

  private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, Free> data_;
    size_t size_ = 0;
};

}  // namespace tw::wipe
