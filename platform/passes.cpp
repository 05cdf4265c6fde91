// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/passes.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tw::wipe {

namespace {

// The generator's state; one per thread, as the runtime's was. The unseeded state is 1.
thread_local uint32_t g_state = 1;

}  // namespace

void SeedWipeRandom(uint32_t seed) { g_state = seed; }

uint32_t WipeRand() {
    g_state = g_state * 214013u + 2531011u;  // unsigned arithmetic wraps modulo 2^32
    return (g_state >> 16) & 0x7FFFu;
}

uint8_t WipeRandomByte() { return static_cast<uint8_t>(WipeRand() & 0xFFu); }

char WipeRandomLetter() { return static_cast<char>('a' + WipeRand() % 26); }

void FillPassBuffer(uint8_t* buffer, size_t size, int passNumber, bool randomMode) {
    if (buffer == nullptr || size == 0 || passNumber < 1) return;
    const bool odd = (passNumber % 2) == 1;
    if (randomMode) {
        if (odd) {
            for (size_t i = 0; i < size; ++i) buffer[i] = WipeRandomByte();
        } else {
            for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(~buffer[i]);
        }
        return;
    }
    uint8_t value;
    if (passNumber == 1) {
        value = 0x00;
    } else if (passNumber == 2) {
        value = 0xFF;
    } else if (odd) {
        value = WipeRandomByte();
    } else {
        value = static_cast<uint8_t>(~buffer[0]);
    }
    std::memset(buffer, value, size);
}

AlignedBuffer::AlignedBuffer(size_t size) : size_(size) {
    if (size == 0) return;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    void* p = nullptr;
    if (posix_memalign(&p, static_cast<size_t>(page), size) != 0) return;
    std::memset(p, 0, size);
    data_.reset(static_cast<uint8_t*>(p));
}

void AlignedBuffer::Free::operator()(uint8_t* p) const { std::free(p); }

}  // namespace tw::wipe
