// The loopback line test: measures the loop time of the line, sends every byte value round the
// far end's echo, and suggests the escape list the path needs.
#pragma once
#include <cstdint>

constexpr int LOOP_TIME_PROBES = 5;
constexpr int LOOP_PROBE_WAIT_SEC = 5;
constexpr int LOOP_QUIET_SEC = 2;
constexpr int LOOP_CHAR_WAITS = 13;
constexpr int LOOP_CHAR_TRIES = 5;

int DoLoopbackTest();
uint32_t TestTime();
int TestChar(uint8_t c, uint32_t t);
