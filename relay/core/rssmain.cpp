// The relay's life: start-up in order, the main loop, and the one way out.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "relay/core/answerrelay.h"
#include "relay/core/auth.h"
#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/file.h"
#include "relay/core/log.h"
#include "relay/core/loopback.h"
#include "relay/core/rss.h"
#include "relay/core/session.h"
#include "relay/core/storerelay.h"
#include "relay/link/linkext.h"

void RssTransResult(uint32_t interval) {
    pRssGlobalData->selectTimeout.usec = static_cast<int>(interval);
    // The transport gave up on a silent line.
    if (!pRssDaemonData->rssLink.running && pRssGlobalData->running == 1) pRssGlobalData->running = 0;
}

int RssStartLink(int fd) {
    RssDaemonData* d = pRssDaemonData;
    LinkEnd* link = &d->rssLink;
    // The configuration came from the resources; only the escape list is still the resource's text.
    ParseEscChars();
    LinkUseFd(link, fd);
    link->config.displayName = pRssGlobalData->displayName ? pRssGlobalData->displayName : "";
    if (TransInit(link) == -1) {
        RssPanic("protocol initialization failed");
        return -1;
    }
    if (TransStart(link) == -1) {
        RssPanic("protocol startup failed");
        return -1;
    }
    return 0;
}

int InitProtocol() {
    pRssGlobalData->focusClient = 0;
    int fd = GetTtyPort();
    if (fd == -1) return -1;
    return RssStartLink(fd);
}

// What the link-life coder saved, for the log.
static void RssLogCoder() {
    const LinkEnd* link = &pRssDaemonData->rssLink;
    if (!((link->extOut | link->extIn) & LINKEXT_ZCODER)) return;
    const LinkStats& s = link->stats;
    std::fprintf(stderr, "link coder: %llu bytes sent as %llu, %llu bytes received as %llu\n",
                 static_cast<unsigned long long>(s.zMsgBytesOut), static_cast<unsigned long long>(s.zCodedOut),
                 static_cast<unsigned long long>(s.zMsgBytesIn), static_cast<unsigned long long>(s.zCodedIn));
}

// Resends by cause and the time lost to repairs, for the log (LINKEXT_RECOVER agreed).
static void RssLogRecovery() {
    const LinkEnd* link = &pRssDaemonData->rssLink;
    if (!((link->extOut | link->extIn) & LINKEXT_RECOVER)) return;
    const LinkStats& s = link->stats;
    std::fprintf(stderr,
                 "link recovery: resends %llu requested, %llu after probes, %llu timed; %llu state reports, "
                 "%llu probes sent; %.1f s with a loss waiting for repair\n",
                 static_cast<unsigned long long>(s.recRequested), static_cast<unsigned long long>(s.recProbed),
                 static_cast<unsigned long long>(s.recTimed), static_cast<unsigned long long>(s.recStatesOut),
                 static_cast<unsigned long long>(s.recProbesOut), static_cast<double>(s.recStallUsec) / 1e6);
}

// The status tells whoever started the relay whether it ended as asked (0) or because it could not
// start (1); a failure must not look like success to a script.
void CleanupAndExit(int status) {
    // Stopping the session raises SIGCHLD while we are already here; run the ending only once.
    if (pRssDispData->cleaningUp) return;
    pRssDispData->cleaningUp = 1;
    StopSession();
    // Give what the handshake left queued (its final answer) one more chance to reach the line.
    if (LinkInitialised(&pRssDaemonData->rssLink)) TransWrite(&pRssDaemonData->rssLink, pRssDaemonData->ttyOutList);
    ShutdownDispatch();
    RssStoreKeep();
    RssAnswerKeep();
    sleep(1);
    RssLogCoder();
    RssLogRecovery();
    CloseLogfile();
    std::fprintf(stderr, "Linquara done\n");
    std::fflush(stderr);
    std::exit(status);
}

int RssMain(int argc, char** argv) {
    // A start that cannot even read its configuration ends here, before anything is set up.
    if (RssInitData() == -1 || InitResources(argc, argv) == -1) return 1;
    LoadRssResources();
    RssDaemonData* d = pRssDaemonData;
    RssGlobalData* g = pRssGlobalData;

    struct stat st;
    if (stat(d->tmpDir, &st) == -1) {
        std::fprintf(stderr, "can't access temp directory %s\n", d->tmpDir);
        return -1;
    }
    if (d->loopback) {
        InitializeFD();
        DoLoopbackTest();
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
        CleanupAndExit(1);
    }
    if (ParseXports() == -1) return 1;
    if (SetUpConnectionSockets() == -1) {
        std::fprintf(stderr, "can't establish X connection socket(s)\n");
        CleanupAndExit(1);
    }
    if (RssAuthInit(d->display) == -1) {
        std::fprintf(stderr, "clients could not be authorized (resource checkAuthorization: off runs without)\n");
        CleanupAndExit(1);
    }
    if (InitLogfile() == -1) CleanupAndExit(1);
    SetSignalHandling();
    if (StartSession() == -1) {
        std::perror("session fork");
        CleanupAndExit(1);
    }
    if (InitProtocol() == -1) {
        g->running = 0;
        CleanupAndExit(1);
    }
    g->running = 1;
    MainLoop();
    CleanupAndExit(0);
    return 0;
}
