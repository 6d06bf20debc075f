// The coder study of lq_wire: the packets the transport codes today, taken from real replays, coded
// again with each candidate coder and framed as the line would frame them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bench/wire/replay.h"

struct CoderStudyArgs {
    std::string corpus;
    std::vector<std::string> names;  // workloads, sorted
    uint32_t rate = 0;
    const char* escapes = nullptr;
    std::string dictFile;                // a dictionary to try, or empty
    std::vector<std::string> dictTrain;  // the workloads it was made from: left out of its figures
};

// Prints the study's tables; 0, or 1 when a replay or a round trip failed.
int CoderStudy(const CoderStudyArgs& a);
// Makes a dictionary from the messages of the given workloads and writes it to `out`. 0, or 1.
int CoderTrainDict(const CoderStudyArgs& a, const std::string& out, size_t size);

// Compressed size of the bytes of one direction, fed in the pieces given, with a sync flush after
// every `flushEvery` bytes (0: after every piece).
size_t Deflated(const Bytes& b, const std::vector<uint32_t>& pieces, size_t flushEvery);

// 200 KB of random bytes as ChangeProperty data behind the set-up of a real recording.
Recording RandomRecording(const Recording& base);
