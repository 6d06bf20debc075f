#include "printsend/data_qz.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int open_path(const char* path, int flags)
{
    return open(path, flags);
}

void qz_init(QzData* qz, const char* progname)
{
    memset(qz, 0, sizeof *qz);
    qz->progname = progname ? progname : "data_qz";
    qz->delay_timeout = 5;
    qz->infd = 0;  // standard input
    qz->pipefd = -1;
    qz->net_linger.l_onoff = 1;
    qz->net_linger.l_linger = 360;
    qz->open_file = open_path;
}

/* ---- messages ---- */

int format_stamp(char* out, size_t size, const struct tm* tm, const char* progname,
                 const char* printername)
{
    return snprintf(out, size, "%02d%02d%02d %2d:%02d:%02d: %s: %s: ", tm->tm_year, tm->tm_mon,
                    tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec, progname ? progname : "",
                    printername ? printername : "");
}

void stamp(const QzData* qz, FILE* log)
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char small[256];
    int n = format_stamp(small, sizeof small, &tm, qz->progname, qz->printername);
    if (n < 0)
        return;
    if ((size_t)n < sizeof small) {
        fputs(small, log);
        return;
    }
    char* big = (char*)malloc((size_t)n + 1);
    if (!big)
        return;
    format_stamp(big, (size_t)n + 1, &tm, qz->progname, qz->printername);
    fputs(big, log);
    free(big);
}

[[gnu::format(printf, 3, 4)]] static void stamped(const QzData* qz, FILE* log, const char* fmt, ...)
{
    stamp(qz, log);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log, fmt, ap);
    va_end(ap);
}

[[gnu::format(printf, 3, 4)]] static void dbg(const QzData* qz, FILE* log, const char* fmt, ...)
{
    if (qz->debug != 1)
        return;
    stamp(qz, log);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log, fmt, ap);
    va_end(ap);
}

void print_usage(const QzData* qz, FILE* log)
{
    static const char* const pieces[] = {
        " -addr <string>  address or name of the X station to",
        " send to. REQUIRED\n",
        " -in <file>      use <file> as input file, default is",
        " standard in\n",
        " -debug          print debug info\n",
        " -nctld          no control D at beginning and end\n",
        " -npipe <file>   use file as name of a named pipe\n",
        " -dtime <int>    delay <int> seconds when sending control",
        " D (laserwriter reset),\n",
        "                     or checking for printer (-nctld)",
        ", default is 5\n",
    };
    fprintf(log, "usage: %s\n", qz->progname);
    for (const char* p : pieces)
        fputs(p, log);
}

void usage(const QzData* qz)
{
    print_usage(qz, stderr);
    exit(1);
}

/* ---- command line ---- */

// Reads a number the way "%d" does (leading blanks, sign, digits, anything after ignored); a text
// without digits leaves *value alone. Out-of-range values are clamped instead of overflowing.
static void read_int(const char* text, int* value)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text)
        return;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *value = (int)v;
}

int parse_args(QzData* qz, int argc, char** argv, FILE* log)
{
    if (argc < 3)
        return -1;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        bool has_value = i + 1 < argc;
        if (strcmp(a, "-addr") == 0) {
            if (!has_value)
                return -1;
            qz->printername = argv[++i];
        } else if (strcmp(a, "-in") == 0) {
            if (!has_value)
                return -1;
            int fd = qz->open_file(argv[++i], O_RDONLY);
            if (fd < 0) {
                fputs("Can't open input file as specified.\n", log);
                return -2;
            }
            qz->infd = fd;
        } else if (strcmp(a, "-debug") == 0) {
            qz->debug = 1;
        } else if (strcmp(a, "-nctld") == 0) {
            qz->nctld = 1;
        } else if (strcmp(a, "-npipe") == 0) {
            if (!has_value)
                return -1;
            // Read-write, so that the pipe always has a writer and never reads as ended.
            int fd = qz->open_file(argv[++i], O_RDWR);
            if (fd < 0) {
                fputs("Can't open named pipe as specified.\n", log);
                return -2;
            }
            qz->pipefd = fd;
        } else if (strcmp(a, "-dtime") == 0) {
            if (!has_value)
                return -1;
            read_int(argv[++i], &qz->delay_timeout);
        } else if (strcmp(a, "-korval") == 0) {
            fputs("KORVAL support is not available in this version of data_qz\n", log);
            return -1;
        } else {
            return -1;
        }
    }
    if (!qz->printername) {
        fputs("No printer name specified, use -addr\n", log);
        return -1;
    }
    return 0;
}

/* ---- waiting and plain I/O ---- */

static int able_to(const QzData* qz, int fd, fd_set* set, long long usec, FILE* log, bool writing)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        stamped(qz, log, "descriptor %d cannot be waited on, aborting\n", fd);
        exit(1);
    }
    for (;;) {
        FD_ZERO(set);
        FD_SET(fd, set);
        struct timeval tv;
        tv.tv_sec = (time_t)(usec / 1000000);
        tv.tv_usec = (suseconds_t)(usec % 1000000);
        int r = writing ? select(fd + 1, nullptr, set, nullptr, &tv)
                        : select(fd + 1, set, nullptr, nullptr, &tv);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            stamped(qz, log,
                    writing ? "able_to_write select returned %d, aborting\n"
                            : "reset select returned %d, aborting\n",
                    r);
            exit(1);
        }
        return r > 0 && FD_ISSET(fd, set) ? 1 : 0;
    }
}

int able_to_read(const QzData* qz, int fd, fd_set* set, long long usec, FILE* log)
{
    return able_to(qz, fd, set, usec, log, false);
}

int able_to_write(const QzData* qz, int fd, fd_set* set, long long usec, FILE* log)
{
    return able_to(qz, fd, set, usec, log, true);
}

ssize_t do_read(int fd, void* buf, size_t len)
{
    ssize_t n;
    do
        n = read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t do_write(int fd, const void* buf, size_t len)
{
    ssize_t n;
    do
        n = write(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

static long long seconds(long long s)
{
    return s * 1000000;
}

/* ---- the printer ---- */

void reset_printer(QzData* qz, int s, FILE* log)
{
    fd_set set;
    if (!able_to_write(qz, s, &set, seconds(qz->delay_timeout), log)) {
        stamped(qz, log, "unable to write reset EOF, aborting\n");
        exit(1);
    }
    const char eof = QZ_CTLD;
    ssize_t w = do_write(s, &eof, 1);
    if (w != 1) {
        stamped(qz, log, "write of reset EOF returned %d, aborting\n", (int)w);
        exit(1);
    }
    int timeouts = 0;
    for (;;) {
        if (!able_to_read(qz, s, &set, seconds(qz->delay_timeout), log)) {
            if (++timeouts >= QZ_RESET_RETRIES) {
                stamped(qz, log, "hit max retries, aborting\n");
                exit(1);
            }
            stamped(qz, log, "timed out reseting printer %d\n", timeouts);
            continue;
        }
        char buf[QZ_READ_MAX + 1];
        ssize_t n = do_read(s, buf, QZ_READ_MAX);
        if (n <= 0) {
            stamped(qz, log, "reset read returned %d, aborting\n", (int)n);
            exit(1);
        }
        buf[n] = 0;
        // The whole read counts: a stray NUL must not hide the echo behind it.
        if (memchr(buf, QZ_CTLD, (size_t)n)) {
            dbg(qz, log, "EOF echoed, printer reset\n");
            return;
        }
        dbg(qz, log, "reset got \"%s\" while waiting for EOF\n", buf);
    }
}

void check_printer(QzData* qz, int s, FILE* log)
{
    fd_set set;
    if (!able_to_read(qz, s, &set, seconds(qz->delay_timeout), log))
        return;
    dbg(qz, log, "check_printer starting read\n");
    char buf[QZ_READ_MAX + 1];
    ssize_t n = do_read(s, buf, QZ_READ_MAX);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        stamped(qz, log, "check_printer read returned %d, aborting\n", (int)n);
        exit(1);
    }
    buf[n] = 0;
    dbg(qz, log, "check_printer got \"%s\" while reading\n", buf);
}

void printer_status(const QzData* qz, const char* line, FILE* log)
{
    stamped(qz, log, "data from remote device = \"%s\"\n", line);
}

// Prints every piece of prtbuf ended by 0x04, LF or CR and keeps the unended rest.
static int scan_status(QzData* qz, FILE* log)
{
    char* b = qz->prtbuf;
    b[qz->prtbufi] = 0;
    int start = 0, ended = 0, result = 0;
    for (int i = 0; i < qz->prtbufi; i++) {
        char c = b[i];
        if (c != QZ_CTLD && c != '\n' && c != '\r')
            continue;
        if (i > start) {
            b[i] = 0;
            printer_status(qz, b + start, log);
        }
        if (c == QZ_CTLD) {
            dbg(qz, log, "EOF from printer\n");
            result = -1;
        }
        start = i + 1;
        ended = 1;
    }
    if (!ended) {
        if (qz->prtbufi < QZ_READ_MAX) {
            dbg(qz, log, "no printer status line collected\n");
            return 0;
        }
        // A full buffer with no line end in sight: show it as a line, or nothing more could be read.
        printer_status(qz, b, log);
        qz->prtbufi = 0;
        b[0] = 0;
        return 0;
    }
    memmove(b, b + start, (size_t)(qz->prtbufi - start));
    qz->prtbufi -= start;
    b[qz->prtbufi] = 0;
    return result;
}

int collect_status(QzData* qz, const char* data, size_t len, FILE* log)
{
    int result = 0;
    size_t i = 0;
    while (i < len) {
        // NUL bytes are dropped: they are no text, and would cut short what the scan sees.
        while (i < len && qz->prtbufi < QZ_READ_MAX) {
            if (data[i] != 0)
                qz->prtbuf[qz->prtbufi++] = data[i];
            i++;
        }
        if (scan_status(qz, log) == -1)
            result = -1;
    }
    return result;
}

int check_printer_for_errors(QzData* qz, int s, FILE* log, long long delay)
{
    dbg(qz, log, "check printer with delay %lld\n", delay);
    fd_set set;
    if (!able_to_read(qz, s, &set, seconds(delay), log)) {
        dbg(qz, log, "no printer status to read\n");
        return 0;
    }
    char buf[QZ_READ_MAX];
    ssize_t n = do_read(s, buf, (size_t)(QZ_READ_MAX - qz->prtbufi));
    if (n < 0) {
        if (errno == EAGAIN)
            return 0;
        stamped(qz, log, "read from printer returned %d, aborting\n", (int)n);
        exit(1);
    }
    if (n == 0) {
        // The printer has ended its side; what it said last is a line of its own.
        if (!qz->printer_closed)
            dbg(qz, log, "printer closed the connection\n");
        qz->printer_closed = 1;
        if (qz->prtbufi > 0) {
            qz->prtbuf[qz->prtbufi] = 0;
            printer_status(qz, qz->prtbuf, log);
            qz->prtbufi = 0;
        }
        return 0;
    }
    return collect_status(qz, buf, (size_t)n, log);
}

void print_job(QzData* qz, int in, int s, FILE* log, int ctld)
{
    dbg(qz, log, "Entering print_job\n");
    const long long delay = qz->delay_timeout;
    char buf[QZ_CHUNK];
    int last = 0, echoed = 0;
    fd_set set;
    while (!last) {
        while (!able_to_read(qz, in, &set, seconds(delay), log))
            ;
        ssize_t n = do_read(in, buf, sizeof buf);
        if (n < 0 && errno != EAGAIN) {
            // A failed read is no end of the job: the printer must not get a cut job as a whole one.
            stamped(qz, log, "read from input returned %d, errno = %d, aborting\n", (int)n, errno);
            exit(1);
        }
        if (n < 0)
            continue;
        if (n == 0) {
            last = 1;
            if (ctld) {
                buf[0] = QZ_CTLD;
                n = 1;
                dbg(qz, log, "manufactured EOF for printer\n");
            }
        }
        dbg(qz, log, "read %d chars from input file\n", (int)n);
        ssize_t done = 0;
        int st = 0;
        while (done < n) {
            if (able_to_write(qz, s, &set, seconds(delay), log)) {
                ssize_t w = do_write(s, buf + done, (size_t)(n - done));
                int e = errno;
                dbg(qz, log, "write to printer %d chars from %d\n", (int)w, (int)(n - done));
                if (w < 0 && e == EAGAIN) {
                    dbg(qz, log, "write to printer would block\n");
                    st = check_printer_for_errors(qz, s, log, delay);
                } else if (w < 0) {
                    stamped(qz, log, "write to printer returned %d, errno = %d, aborting\n", (int)w, e);
                    exit(1);
                } else {
                    done += w;
                    st = check_printer_for_errors(qz, s, log, 0);
                }
            } else {
                st = check_printer_for_errors(qz, s, log, delay);
            }
            if (st == -1 && !last)
                stamped(qz, log, "Spurious EOF from printer\n");
        }
        // The echo may already have come with the check that followed the final control-D;
        // waiting for another one would wait for ever.
        if (last && ctld && st == -1)
            echoed = 1;
    }
    if (ctld) {
        while (!echoed) {
            if (check_printer_for_errors(qz, s, log, 2 * delay) == -1)
                echoed = 1;
            else if (qz->printer_closed) {
                stamped(qz, log, "printer closed the connection before echoing EOF, aborting\n");
                exit(1);
            }
        }
    }
    sleep(2);
    close(s);
}

[[noreturn]] void do_com(QzData* qz, int pipefd, int s, FILE* log)
{
    char buf[QZ_CHUNK];
    fd_set set;
    for (;;) {
        if (!able_to_read(qz, pipefd, &set, QZ_PIPE_WAIT_USEC, log))
            continue;
        ssize_t n = do_read(pipefd, buf, sizeof buf);
        if (n < 0 && errno != EAGAIN) {
            stamped(qz, log, "read from named pipe returned %d, errno = %d, aborting\n", (int)n, errno);
            exit(1);
        }
        if (n <= 0)
            continue;
        ssize_t done = 0;
        while (done < n) {
            if (!able_to_write(qz, s, &set, QZ_PIPE_WAIT_USEC, log))
                continue;
            ssize_t w = do_write(s, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EAGAIN)
                continue;
            if (w < 0) {
                // The printer has gone; retrying would spin for ever.
                stamped(qz, log, "write to printer returned %d, errno = %d, aborting\n", (int)w, errno);
                exit(1);
            }
            done += w;
        }
    }
}

/* ---- the program ---- */

static int port_from_env(int* port)
{
    const char* text = getenv(QZ_PORT_ENV);
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || v < 1 || v > 65535)
        return -1;
    *port = (int)v;
    return 0;
}

void data_qz_main(QzData* qz, int argc, char** argv)
{
    FILE* log = stderr;
    // A printer that goes away shows as a failed write with its own message, not a silent death.
    signal(SIGPIPE, SIG_IGN);

    int r = parse_args(qz, argc, argv, log);
    if (r == -1)
        usage(qz);
    if (r != 0)
        exit(1);

    int port = QZ_PORT;
    if (port_from_env(&port) == -1) {
        fprintf(log, "%s must be a port number from 1 to 65535\n", QZ_PORT_ENV);
        exit(1);
    }

    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        int e = errno;
        stamped(qz, log, "can't open Internet socket, aborting\n");
        fprintf(log, "errno = %d\n", e);
        errno = e;
        perror(qz->progname);
        exit(1);
    }
    setsockopt(s, SOL_SOCKET, SO_LINGER, &qz->net_linger, sizeof qz->net_linger);

    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons((uint16_t)port);
    in_addr_t a = inet_addr(qz->printername);
    if (a != INADDR_NONE) {
        sin.sin_addr.s_addr = a;
    } else {
        struct hostent* h = gethostbyname(qz->printername);
        if (!h || h->h_addrtype != AF_INET || h->h_length != (int)sizeof sin.sin_addr ||
            !h->h_addr_list[0]) {
            stamped(qz, log, "can't resolve name %s, aborting\n", qz->printername);
            exit(1);
        }
        memcpy(&sin.sin_addr, h->h_addr_list[0], sizeof sin.sin_addr);
    }
    if (connect(s, (struct sockaddr*)&sin, sizeof sin) < 0) {
        perror(qz->progname);
        exit(1);
    }
    dbg(qz, log, "got connection\n");

    if (qz->pipefd >= 0)
        do_com(qz, qz->pipefd, s, log);

    if (!qz->nctld) {
        dbg(qz, log, "trying to reset printer\n");
        reset_printer(qz, s, log);
        dbg(qz, log, "initial printer reset worked, sending job\n");
    } else {
        dbg(qz, log, "checking printer connection\n");
        check_printer(qz, s, log);
        dbg(qz, log, "initial printer check worked, sending job\n");
    }
    print_job(qz, qz->infd, s, log, !qz->nctld);
    dbg(qz, log, "job done\n");
    exit(0);
}
