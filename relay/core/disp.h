// The main loop's descriptor bookkeeping: which descriptors are watched, and the two tables that
// map a client's socket descriptor or link client id to its record.
#pragma once
#include <sys/select.h>

#include <csignal>

#include "relay/core/client.h"
#include "relay/core/lst.h"

constexpr int RSS_MAX_FDS = 1024;

struct RssDispData {
    fd_set readMask;
    int numFds;
    int maxFd;
    ClientRec* socketTbl[RSS_MAX_FDS];
    ClientRec* clientTbl[RSS_MAX_FDS];
    Lst clientRecList;
    // A death signal is only recorded here; the loop starts the shutdown at the top of its pass.
    volatile sig_atomic_t pendingSignal;
    volatile sig_atomic_t cleaningUp;
    int lineDown;  // the line hung up or failed; it is no longer watched
    int codingShutdown;  // the shutdown after a coded packet that did not decode has begun
};
extern RssDispData* pRssDispData;  // part of the relay's RssData (relay/core/rss.h)

// Fresh, empty tables (RssInitData starts with them; InitializeFD also closes inherited
// descriptors).
void RssInitDispData();
void InitializeFD();
// Counts a descriptor the loop will own, raising maxFd as needed.
void RssCountFd(int fd);
int MainLoop();
// One pass of the main loop; 0 when the loop should end.
int RssMainLoopPass();
void ProcessBacklog();
void CheckConnections(const fd_set* watched, int ttyFd);
int SetSignalHandling();
void RssDeathSignalHandler(int sig);
void RssIgnoreSignalHandler(int sig);
void ShutdownRss();
void ShutdownDispatch();
int CloseConnection(int sock);
int DestroyFd(int sock);
