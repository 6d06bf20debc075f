// Replay of one recorded X connection through both ends of the relay: the host end's request encoder
// and transport take the client's bytes, the terminal end's encoder and transport take the server's
// bytes, at the times the recording gives, over a simulated line run on a virtual clock. The far
// ends decode everything back, so the replay also proves that the recorded bytes arrive unchanged.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Chunk {
    uint32_t ms;   // since the connection opened
    char dir;      // 'c' client to server, 's' server to client
    uint32_t n;
};

struct Recording {
    std::string name;
    Bytes c2s, s2c;
    std::vector<Chunk> chunks;  // reads as the recording proxy made them
};

// Reads DIR/conn00.{c2s,s2c,chunks}. 0, or -1 with a message in *err.
int LoadRecording(const std::string& dir, Recording* rec, std::string* err);

struct ReplayResult {
    uint64_t lineBytes[2];   // bytes put on the line: [0] host to terminal, [1] terminal to host
    uint64_t frames[2];      // frames put on the line
    uint64_t packets[2];     // transport packets (first sendings)
    uint64_t msgs[2];        // messages handed to the transport
    uint64_t msgBytes[2];    // their content bytes, before merging and compression
    uint64_t resends[2];
    uint64_t splits[2];      // messages cut before compression so that a coded packet fits a frame
    uint64_t flagBytes[2];   // of the line bytes: frame flags,
    uint64_t escapeBytes[2]; // stuffing escapes,
    uint64_t frameBytes[2];  // and unstuffed frame bytes (packet headers, contents, FCS)
    bool exact;              // both far ends got back the recorded bytes (unused request bytes aside)
    size_t unusedDiffs;      // unused request bytes that arrived as zeros instead of what was sent
    std::string fault;       // what differed, when not exact
    double virtualSeconds;   // duration of the replay on the virtual clock
};

// One frame an end put on the line, as a study of other packet coders needs it.
struct SentFrame {
    uint32_t usec;     // virtual time it was written
    uint8_t type;      // message type
    bool coded;        // first sending of a packet whose content went through the link coder
    bool wrapped;      // sent inside the start wrapper
    uint8_t headLen;   // packet header bytes at the front of `sent` (2, or 5 when resent)
    uint8_t table;     // index of the sending end's stuffing table then, in FrameLog::escaped
    Bytes sent;        // packet header and content as framed (no FCS, no stuffing)
    Bytes plain;       // coded: the message before coding; else empty
};

struct FrameLog {
    std::vector<SentFrame> frames[2];  // [0] host to terminal, [1] terminal to host
    // The stuffing tables of each end (bytes it stuffs), each as it was for one or more frames: an
    // end narrows its table once it knows the other end is ready.
    std::vector<std::array<bool, 256>> escaped[2];
};

// While log is set, lq_replay_run records every frame both ends write after the start exchange into
// it (emptied first). Null stops the recording.
void lq_replay_capture(FrameLog* log);

// The link extensions (LINKEXT_LINK_BITS) later replays offer and answer at the start; 0 for none.
void lq_replay_ext(uint32_t bits);

// rate: line bit/s, 0 for unconstrained; escapes: the host's escape list, null for the default.
// 0, or -1 when the replay could not be set up.
extern "C" int lq_replay_run(const Recording* rec, uint32_t rate, const char* escapes, ReplayResult* out);
