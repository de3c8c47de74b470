// The choices the TCP server makes over its table of masters: the slot a new master takes, and
// whether a master has been silent too long. Pure functions of the table's ticks (the stack
// clock's milliseconds, compared as uint32_t(now - then), so that the wrap does not matter).
#pragma once

#include <cstdint>

// The slot for a new master among n: the first one free; else, with *evict set, the one whose
// master showed life least recently (the first of equals), which is to be closed for it.
uint32_t tableChoose(const bool *used, const uint32_t *lastActive, uint32_t n, uint32_t now,
                     bool *evict);

// Whether a master last active at lastActive has been silent for timeoutMs or more by now;
// a time-out of 0 never ends.
bool tableExpired(uint32_t lastActive, uint32_t now, uint32_t timeoutMs);
