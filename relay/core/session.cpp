#include "relay/core/session.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "relay/core/disp.h"
#include "relay/core/rss.h"

namespace {
sigjmp_buf rssStopJmp;
}

void StartSessionIgnoreProc(int) {}

void StopSessionAlarmProc(int) { siglongjmp(rssStopJmp, 1); }

int RssSplitSessionCommand(char* command, char** argv) {
    char* cursor = command;
    int n = 0;
    while (char* w = NextWord(&cursor)) {
        if (n == RSS_MAX_SESSION_WORDS) {
            std::fprintf(stderr, "default session command has more than %d words; the rest is ignored\n",
                         RSS_MAX_SESSION_WORDS);
            break;
        }
        argv[n++] = w;
    }
    argv[n] = nullptr;
    return n;
}

namespace {

[[noreturn]] void RssRunSession() {
    RssDaemonData* d = pRssDaemonData;
    dup2(2, 1);
    setpgid(0, 0);
    signal(SIGCHLD, StartSessionIgnoreProc);
    // Everything else the relay caught goes back to its default for the session.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGURG, SIGTSTP, SIGCONT, SIGUSR1}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    const char* home = std::getenv("HOME");
    if (home && chdir(home) == -1 && chdir("/") == -1) {
        // Nowhere to stand; the script is still tried by its full path.
    }
    if (home) {
        const char* names[] = {d->sessionScriptName ? d->sessionScriptName : ".xsession", ".xsession", ".xinitrc"};
        for (const char* name : names) {
            std::string path = std::string(home) + "/" + name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) continue;
            char* argv[] = {path.data(), nullptr};
            execvp(argv[0], argv);
            std::fprintf(stderr, "cannot execute session script %s\n", path.c_str());
            std::fprintf(stderr, "using default session\n");
            break;
        }
    }
    char* command = strdup(d->defaultSession ? d->defaultSession : "");
    char* argv[RSS_MAX_SESSION_WORDS + 1];
    if (command && RssSplitSessionCommand(command, argv) > 0) execvp(argv[0], argv);
    std::fprintf(stderr, "cannot execute default session \"%s\"\n", command && argv[0] ? argv[0] : "");
    std::fprintf(stderr, "session aborted\n");
    std::fflush(stderr);
    _exit(1);
}

}  // namespace

int StartSession() {
    // SIGCHLD stays blocked until the child's id is recorded, so a session that ends at once is
    // seen by the relay's own handler and ends the relay in order.
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) RssRunSession();
    if (pid > 0) pRssDaemonData->sessionPid = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return pid == -1 ? -1 : 0;
}

namespace {

// Waits for any child to end, for at most RSS_SESSION_STOP_WAIT seconds: its id, or -1.
pid_t RssWaitBounded() {
    volatile pid_t ended = -1;
    if (sigsetjmp(rssStopJmp, 1) == 0) {
        signal(SIGALRM, StopSessionAlarmProc);
        alarm(RSS_SESSION_STOP_WAIT);
        do {
            ended = wait(nullptr);  // other signals (SIGCHLD itself) may interrupt the wait
        } while (ended == -1 && errno == EINTR);
    }
    alarm(0);
    signal(SIGALRM, SIG_DFL);
    return ended;
}

}  // namespace

void StopSession() {
    RssDaemonData* d = pRssDaemonData;
    if (d->sessionPid == 0) return;
    pid_t pid = d->sessionPid;
    d->sessionPid = 0;
    for (int attempt = 0; attempt < RSS_SESSION_STOP_TRIES; attempt++) {
        if (kill(-pid, attempt == 0 ? SIGTERM : SIGKILL) == -1) {
            if (errno == EPERM) {
                std::fprintf(stderr, "lqhostd: can't kill session script (pid=%d)\n", static_cast<int>(pid));
                break;
            }
            if (errno == ESRCH || errno == EINVAL) {
                waitpid(pid, nullptr, WNOHANG);  // collect the session if it ended on its own
                break;
            }
        }
        if (RssWaitBounded() == pid) break;
    }
}
