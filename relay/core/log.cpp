#include "relay/core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "relay/core/rss.h"

void StringNCopy(char* dst, const char* src, size_t n) {
    if (n == 0) return;
    size_t i = 0;
    for (; src && i + 1 < n && src[i]; i++) dst[i] = src[i];
    dst[i] = '\0';
}

int InitLogfile() {
    RssDaemonData* d = pRssDaemonData;
    char dir[99];
    StringNCopy(dir, d->tmpDir ? d->tmpDir : "/tmp", sizeof dir);
    const char* name = pRssGlobalData->displayName ? pRssGlobalData->displayName : "";
    const char* colon = std::strrchr(name, ':');
    std::snprintf(d->logPath, sizeof d->logPath, "%s/lqx_log.%s", dir, colon ? colon + 1 : name);

    // The log sits at a predictable name in a directory anyone may write to. Never follow a link
    // planted there (it would make us truncate a file of the planter's choosing), and never block
    // on or write into anything but a plain file.
    int fd = open(d->logPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd != -1 && (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd == -1) {
        std::fprintf(stderr, "cannot open log file %s\n", d->logPath);
        d->logPath[0] = '\0';  // nothing of ours to remove or report at exit
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::fflush(stderr);
    if (fd != 2) {
        dup2(fd, 2);
        close(fd);
    }
    std::fflush(stderr);
    return 0;
}

void CloseLogfile() {
    std::fflush(stderr);
    if (!pRssDaemonData->logPath[0]) return;
    struct stat st;
    bool known = fstat(2, &st) == 0;
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty != -1) {
        dup2(tty, 2);
        if (tty != 2) close(tty);
    }
    if (!known) return;
    if (st.st_size > 0)
        std::fprintf(stderr, "\nmessages have been placed in log file %s\n\n", pRssDaemonData->logPath);
    else
        unlink(pRssDaemonData->logPath);
    std::fflush(stderr);
    pRssDaemonData->logPath[0] = '\0';
}
