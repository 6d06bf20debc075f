// The parts of data_qz that need no printer: time stamp, status text splitting, option values.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits.h>
#include <string>
#include <vector>

#include "printsend/data_qz.h"

namespace {

TEST(QzStamp, YearFrom1900MonthFrom0)
{
    struct Case {
        int year, mon, mday, hour, min, sec;
        const char* want;
    } cases[] = {
        {93, 2, 9, 8, 5, 9, "930209  8:05:09: data_qz: station: "},
        {100, 0, 1, 0, 0, 0, "1000001  0:00:00: data_qz: station: "},
        {99, 11, 31, 23, 59, 59, "991131 23:59:59: data_qz: station: "},
    };
    for (const Case& c : cases) {
        struct tm tm {};
        tm.tm_year = c.year;
        tm.tm_mon = c.mon;
        tm.tm_mday = c.mday;
        tm.tm_hour = c.hour;
        tm.tm_min = c.min;
        tm.tm_sec = c.sec;
        char out[128];
        format_stamp(out, sizeof out, &tm, "data_qz", "station");
        EXPECT_STREQ(c.want, out);
    }
}

// Feeds the chunks one by one and returns the status texts printed, the result of each chunk and
// what is left held.
struct Collected {
    std::vector<std::string> lines;
    std::vector<int> results;
    std::string held;
};

Collected Collect(const std::vector<std::string>& chunks)
{
    static QzData qz;
    qz_init(&qz, "data_qz");
    qz.printername = "st";
    char* text = nullptr;
    size_t size = 0;
    FILE* log = open_memstream(&text, &size);
    Collected c;
    for (const std::string& chunk : chunks)
        c.results.push_back(collect_status(&qz, chunk.data(), chunk.size(), log));
    fclose(log);
    std::string all(text, size);
    free(text);
    const std::string mark = "data from remote device = \"";
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        std::string line = all.substr(at, end - at);
        size_t m = line.find(mark);
        if (m != std::string::npos && line.back() == '"')
            c.lines.push_back(line.substr(m + mark.size(), line.size() - m - mark.size() - 1));
        else
            c.lines.push_back("?? " + line);
        at = end == std::string::npos ? all.size() : end + 1;
    }
    EXPECT_GE(qz.prtbufi, 0);
    EXPECT_LT(qz.prtbufi, QZ_READ_MAX);
    c.held.assign(qz.prtbuf, (size_t)qz.prtbufi);
    return c;
}

TEST(QzStatus, LinesSplitAtLfCrAndControlD)
{
    using V = std::vector<std::string>;
    using R = std::vector<int>;
    const std::string a1023(1023, 'A'), a477(477, 'A');
    struct Case {
        const char* name;
        V chunks;
        V lines;
        R results;
        std::string held;
    } cases[] = {
        {"whole line", {"ready\n"}, {"ready"}, {0}, ""},
        {"CR LF split mid-text", {"out of pa", "per\r\n"}, {"out of paper"}, {0, 0}, ""},
        {"CR LF split between", {"busy\r", "\n"}, {"busy"}, {0, 0}, ""},
        {"several in one read", {"a\nb\rc\x04" "d"}, {"a", "b", "c"}, {-1}, "d"},
        {"control-D alone", {"\x04"}, {}, {-1}, ""},
        {"held until ended", {"part", "ial", "\n"}, {"partial"}, {0, 0, 0}, ""},
        {"no line end", {"idle"}, {}, {0}, "idle"},
        {"NUL does not hide the echo", {std::string("x\0y\n\x04", 5)}, {"xy"}, {-1}, ""},
        {"1023 bytes without end", {a1023, "tail\n"}, {a1023, "tail"}, {0, 0}, ""},
        {"held text fills up", {"B", a1023}, {"B" + a1023.substr(1)}, {0, 0}, "A"},
        {"longer than the buffer", {a1023 + a477 + "\n"}, {a1023, a477}, {0}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Collected got = Collect(c.chunks);
        EXPECT_EQ(c.lines, got.lines);
        EXPECT_EQ(c.results, got.results);
        EXPECT_EQ(c.held, got.held);
    }
}

int NoOpen(const char* path, int)
{
    return strstr(path, "missing") ? -1 : 7;
}

TEST(QzArgs, Values)
{
    struct Case {
        std::vector<const char*> args;
        int result;
        int delay, debug, nctld, infd, pipefd;
        const char* log;
    } cases[] = {
        {{"-addr"}, -1, 5, 0, 0, 0, -1, ""},  // too few arguments
        {{"-addr", "st", "-dtime", "3x"}, 0, 3, 0, 0, 0, -1, ""},
        {{"-addr", "st", "-dtime", "x"}, 0, 5, 0, 0, 0, -1, ""},
        {{"-addr", "st", "-dtime", "99999999999"}, 0, INT_MAX, 0, 0, 0, -1, ""},
        {{"-debug", "-addr", "st", "-nctld", "-in", "job"}, 0, 5, 1, 1, 7, -1, ""},
        {{"-addr", "st", "-npipe", "fifo"}, 0, 5, 0, 0, 0, 7, ""},
        {{"-addr", "st", "-in", "missing"}, -2, 5, 0, 0, 0, -1, "Can't open input file as specified.\n"},
        {{"-addr", "st", "-npipe", "missing"}, -2, 5, 0, 0, 0, -1, "Can't open named pipe as specified.\n"},
        {{"-addr", "st", "-in"}, -1, 5, 0, 0, 0, -1, ""},
        {{"-debug", "-nctld"}, -1, 5, 1, 1, 0, -1, "No printer name specified, use -addr\n"},
        {{"-addr", "st", "-korval"}, -1, 5, 0, 0, 0, -1,
         "KORVAL support is not available in this version of data_qz\n"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {(char*)"data_qz"};
        for (const char* a : c.args)
            argv.push_back((char*)a);
        argv.push_back(nullptr);
        SCOPED_TRACE(testing::PrintToString(c.args));
        QzData qz;
        qz_init(&qz, "data_qz");
        qz.open_file = NoOpen;
        char* text = nullptr;
        size_t size = 0;
        FILE* log = open_memstream(&text, &size);
        EXPECT_EQ(c.result, parse_args(&qz, (int)argv.size() - 1, argv.data(), log));
        fclose(log);
        EXPECT_EQ(c.log, std::string(text, size));
        free(text);
        EXPECT_EQ(c.delay, qz.delay_timeout);
        EXPECT_EQ(c.debug, qz.debug);
        EXPECT_EQ(c.nctld, qz.nctld);
        EXPECT_EQ(c.infd, qz.infd);
        EXPECT_EQ(c.pipefd, qz.pipefd);
    }
}

}  // namespace
