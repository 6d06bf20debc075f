// lqterm's live status line: the line's rate in each direction, the compression ratio, the bytes
// queued for the line, resends and clients, redrawn in place on standard error about once a second
// and wiped when the session ends. On with -status, off with -nostatus, and otherwise on when
// standard error is a terminal.
#pragma once
#include <cstdint>
#include <string>

struct TermData;

// What the line looks like at one moment.
struct TermStatusSample {
    uint64_t usec = 0;
    uint64_t lineIn = 0, lineOut = 0;  // bytes read from and written to the line so far
    uint64_t xBytes = 0;               // X bytes both ways so far
    uint64_t queued = 0;               // bytes waiting for the line now
    uint64_t resends = 0;
    int clients = 0;
};

struct TermStatus {
    int fd = 2;              // where the line is drawn
    bool decided = false;    // on, tty and rate have been settled (at the first pass)
    bool on = false;
    bool tty = false;        // redraw in place; otherwise one line per update
    bool drawn = false;      // a line is on the terminal now
    uint32_t rate = 0;       // the line's bit/s when known (for the share of it in use), else 0
    uint64_t due = 0;        // time of the next update
    TermStatusSample prev{};
};

TermStatusSample TermStatusTake(const TermData* t, uint64_t nowUs);
// The status text for the time between two samples; rate in bit/s (10 bits a byte), 0 = unknown.
std::string TermStatusText(const TermStatusSample& before, const TermStatusSample& now, uint32_t rate);
// Called once per pass of the main loop: draws when an update is due. Returns the time of the next
// update (UINT64_MAX when the status line is off), for the loop's wake-up.
uint64_t TermStatusTick(TermData* t, uint64_t nowUs);
// Takes the line off the terminal (the next tick draws it again).
void TermStatusWipe(TermData* t);
