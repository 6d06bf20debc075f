// The relay's life: start-up in order, the main loop, and the one way out.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "relay/core/disp.h"
#include "relay/core/log.h"
#include "relay/core/rss.h"

void CleanupAndExit(int) {
    // Stopping the session raises SIGCHLD while we are already here; run the ending only once.
    if (pRssDispData->cleaningUp) return;
    pRssDispData->cleaningUp = 1;
    ShutdownDispatch();
    sleep(1);
    CloseLogfile();
    std::fprintf(stderr, "Linquara done\n");
    std::fflush(stderr);
    std::exit(0);
}

int RssMain(int argc, char** argv) {
    RssInitData();
    InitResources(argc, argv);
    LoadRssResources();
    RssDaemonData* d = pRssDaemonData;
    RssGlobalData* g = pRssGlobalData;

    struct stat st;
    if (stat(d->tmpDir, &st) == -1) {
        std::fprintf(stderr, "can't access temp directory %s\n", d->tmpDir);
        return -1;
    }
    if (d->loopback) {
        std::fprintf(stderr, "loopback line test not available yet\n");
        return 0;
    }
    d->sessionPid = 0;
    g->selectTimeout.sec = 0;
    g->selectTimeout.usec = 100000;
    d->ttyInList = lstInit(&d->ttyInQueue);
    d->ttyOutList = lstInit(&d->ttyOutQueue);
    InitializeFD();
    if (BufInit(&d->bufData) == -1) {
        std::fprintf(stderr, "can't initialize buffers\n");
        CleanupAndExit(0);
    }
    ParseXports();
    // The X sockets, the session and the link are not part of this build yet.
    std::fprintf(stderr, "can't establish X connection socket(s)\n");
    CleanupAndExit(0);
    return 0;
}
