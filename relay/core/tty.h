// Serial line settings: saved before the relay takes the line, put back when it lets go, and in
// between a raw, 8-bit, non-blocking mode in which every byte passes untouched.
#pragma once
#include <termios.h>

#include "relay/core/lst.h"

struct TtySaved {
    TtySaved* next;
    TtySaved* prev;
    int fd;
    termios settings;
};

// Saved settings, newest first.
struct TtyData {
    Lst ttySavedList;
    bool ttyLibInited;
};
extern TtyData* pTtyData;

void TtyLibInit();
int TtySave(int fd);
int TtyRestore(int fd);
int TtyClone(int savedFd, int targetFd);
int TtyConfigForRss(int fd);
int TtyPurge(int fd);
int TtyDrainOutput(int fd);
int TtyBaudRate(int fd, int rate);
// Frees every saved record without applying it (tests and exit).
void TtyForgetAll();
