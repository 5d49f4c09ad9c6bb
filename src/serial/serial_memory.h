// The in-memory port: a serial backend for tests and fuzzers, with a virtual clock.
//
// What the port will deliver is a queue of items, each arriving at a virtual time. A read under
// a timed policy returns the next item that arrives within T ms, moving the clock to it, or
// times out and moves the clock by T: a 240-probe wait costs no wall time. A blocking read on
// an empty queue cannot ever return, so it fails with kWouldBlockForever instead and the test
// can assert that the code would have waited. A write is recorded and handed to the peer hook,
// which may queue the peer's answer.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "serial/serial.h"

namespace serial_memory {

// The error code of a blocking read that would wait for ever.
inline constexpr uint32_t kWouldBlockForever = 0xB10CB10C;
// The error code reported after a queued hang-up.
inline constexpr uint32_t kHangUp = 5;  // EIO

// Clears everything: queue, clock, record, hooks, counters.
void Reset();
PortHandle Handle();

uint64_t Now();
// Queues a byte that arrives delay_ms after the later of now and the previous item.
void Push(uint8_t byte, uint64_t delay_ms = 0);
void Push(const std::vector<uint8_t>& bytes, uint64_t delay_ms = 0);
// Queues a byte arriving at an absolute virtual time.
void PushAt(uint8_t byte, uint64_t at_ms);
// From this point in the queue on, every read fails with kHangUp.
void PushHangUp(uint64_t delay_ms = 0);
void PushHangUpAt(uint64_t at_ms);

// Called with each byte the code under test writes, and the virtual time.
void SetWriteHook(std::function<void(uint8_t byte, uint64_t now_ms)> hook);
// Makes the write with this index (0-based, counting all writes) and every later one fail.
void FailWritesFrom(uint64_t index, uint32_t error_code);
// Makes SetReadTimeout fail.
void FailSetReadTimeout(bool fail);

const std::vector<uint8_t>& Written();
// Read policies applied, in order.
const std::vector<uint32_t>& Policies();
int Purges();
int Drains();
int TimeOuts();
bool BlockedForever();
bool Closed();
// Bytes handed out by reads so far, and reads tried after one had failed (a hang-up, or a
// blocking read that would have waited for ever): the code must not read a dead port again.
uint64_t BytesRead();
int ReadsAfterFailure();

}  // namespace serial_memory
