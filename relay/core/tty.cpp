#include "relay/core/tty.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "relay/core/buf.h"
#include "relay/core/rss.h"

static TtyData ttyData;
TtyData* pTtyData = &ttyData;

void TtyLibInit() {
    if (pTtyData->ttyLibInited) return;
    lstInit(&pTtyData->ttySavedList);
    pTtyData->ttyLibInited = true;
}

int TtySave(int fd) {
    TtyLibInit();
    TtySaved* rec = static_cast<TtySaved*>(Malloc(sizeof(TtySaved)));
    if (!rec) return -1;
    if (tcgetattr(fd, &rec->settings) == -1) {
        Free(rec);
        return -1;
    }
    rec->fd = fd;
    lstInsert(&pTtyData->ttySavedList, nullptr, rec);
    return 0;
}

static TtySaved* TtyFindSaved(int fd) {
    TtyLibInit();
    for (TtySaved* r = lstFirstT<TtySaved>(&pTtyData->ttySavedList); r; r = r->next)
        if (r->fd == fd) return r;
    return nullptr;
}

int TtyClone(int savedFd, int targetFd) {
    TtySaved* rec = TtyFindSaved(savedFd);
    if (!rec) return -1;
    lstDelete(&pTtyData->ttySavedList, rec);
    int rc = tcsetattr(targetFd, TCSANOW, &rec->settings) == -1 ? -1 : 0;
    Free(rec);
    return rc;
}

int TtyRestore(int fd) { return TtyClone(fd, fd); }

void TtyForgetAll() {
    TtyLibInit();
    while (TtySaved* r = lstGetT<TtySaved>(&pTtyData->ttySavedList)) Free(r);
}

int TtyConfigForRss(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    termios t;
    if (tcgetattr(fd, &t) == -1) return -1;
    t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IUCLC | IXON | IXOFF |
                             IMAXBEL);
    t.c_oflag &= ~(tcflag_t)(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL | OFDEL | NLDLY | CRDLY |
                             TABDLY | BSDLY | VTDLY | FFDLY);
    t.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARENB);
    t.c_cflag |= CS8 | CREAD;
    t.c_lflag &= ~(tcflag_t)(ISIG | ICANON | XCASE | ECHO | ECHOE | ECHOK | ECHONL | NOFLSH | TOSTOP | ECHOCTL |
                             ECHOPRT | ECHOKE | FLUSHO | PENDIN | IEXTEN);
    for (cc_t& c : t.c_cc) c = 0;
    if (tcsetattr(fd, TCSANOW, &t) == -1) {
        perror("can't configure tty port");
        return -1;
    }
    return 0;
}

int TtyPurge(int fd) {
    tcflush(fd, TCIOFLUSH);
    return 0;
}

int TtyDrainOutput(int fd) {
    tcdrain(fd);
    return 0;
}

int TtyBaudRate(int fd, int rate) {
    speed_t code;
    switch (rate) {
    case 75: code = B75; break;
    case 134: code = B134; break;
    case 150: code = B150; break;
    case 300: code = B300; break;
    case 600: code = B600; break;
    case 1200: code = B1200; break;
    case 1800: code = B1800; break;
    case 2400: code = B2400; break;
    case 4800: code = B4800; break;
    case 19200: code = B19200; break;
    case 38400: code = B38400; break;
    case 2000:
        std::fprintf(stderr, "baudrate 2000 unsupported on this host, using 2400\n");
        code = B2400;
        break;
    default: code = B9600; break;
    }
    termios t;
    if (tcgetattr(fd, &t) == -1 || cfsetispeed(&t, code) == -1 || cfsetospeed(&t, code) == -1 ||
        tcsetattr(fd, TCSANOW, &t) == -1) {
        close(fd);
        RssPanic("can't set tty baudrate!");
        return -1;
    }
    return 0;
}
