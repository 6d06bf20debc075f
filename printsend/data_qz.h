// data_qz: sends a print job over TCP to the printer port of an X station and reports the
// printer's status text. Control-D (0x04) ends a job in both directions: the printer echoes it
// when it has finished.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#define QZ_CTLD 0x04
#define QZ_PORT 87
#define QZ_PORT_ENV "DATA_QZ_PORT"  // overrides QZ_PORT, for testing without privileges
#define QZ_PRTBUF_SIZE 1024
#define QZ_READ_MAX (QZ_PRTBUF_SIZE - 1)
#define QZ_CHUNK 1024
#define QZ_RESET_RETRIES 100
#define QZ_PIPE_WAIT_USEC 250

// The state of one run.
struct QzData {
    const char* progname;     // argv[0], in every time stamp and for perror
    const char* printername;  // the -addr value
    int debug;
    int delay_timeout;        // seconds
    int nctld;                // 1: no control-D at either end, probe instead of reset
    int infd;                 // the job input (standard input unless -in)
    int pipefd;               // the -npipe descriptor, or -1
    char prtbuf[QZ_PRTBUF_SIZE];  // status text not yet printed as a line
    int prtbufi;
    int printer_closed;       // the printer has ended its side of the connection
    struct linger net_linger;
    // Opens the -in and -npipe files; open(2) unless replaced (the argument fuzzer stubs it).
    int (*open_file)(const char* path, int flags);
};

void qz_init(QzData* qz, const char* progname);

// Command line: 0 when the run may go on, -1 when the usage must follow (any message before it
// already printed to log), -2 when a file could not be opened (message printed; exit 1).
int parse_args(QzData* qz, int argc, char** argv, FILE* log);
void print_usage(const QzData* qz, FILE* log);
[[noreturn]] void usage(const QzData* qz);

// Time stamp "yymmdd hh:mm:ss: progname: printername: " with the year counted from 1900 and the
// month from 0, as the station's logs have always shown it. Returns the length written.
int format_stamp(char* out, size_t size, const struct tm* tm, const char* progname,
                 const char* printername);
void stamp(const QzData* qz, FILE* log);

// 1 when fd is ready within usec microseconds, else 0; a select failure exits 1.
int able_to_read(const QzData* qz, int fd, fd_set* set, long long usec, FILE* log);
int able_to_write(const QzData* qz, int fd, fd_set* set, long long usec, FILE* log);
ssize_t do_read(int fd, void* buf, size_t len);
ssize_t do_write(int fd, const void* buf, size_t len);

void reset_printer(QzData* qz, int s, FILE* log);
void check_printer(QzData* qz, int s, FILE* log);
void print_job(QzData* qz, int in, int s, FILE* log, int ctld);
int check_printer_for_errors(QzData* qz, int s, FILE* log, long long delay);
// Adds received status bytes to prtbuf and prints every line they complete; -1 when a control-D
// was among them, else 0.
int collect_status(QzData* qz, const char* data, size_t len, FILE* log);
void printer_status(const QzData* qz, const char* line, FILE* log);
[[noreturn]] void do_com(QzData* qz, int pipefd, int s, FILE* log);

// The whole program; never returns.
[[noreturn]] void data_qz_main(QzData* qz, int argc, char** argv);
