// data_qz against the printer emulator: what reaches the printer, what is reported, exit status.
#include <errno.h>
#include <fcntl.h>
#include <ctype.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "printsend/data_qz.h"
#include "tests/printsend/printer_emu.h"
#include "tests/printsend/qz_run.h"

namespace {

const std::string kCtld(1, QZ_CTLD);

// A job of printable and binary bytes, without control-D.
std::string Job(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s) {
        c = (char)(rng() & 0xff);
        if (c == QZ_CTLD)
            c = 'D';
    }
    return s;
}

// Length of the time part of a stamp, "yymmdd hh:mm:ss: " (the year from 1900 may have three
// digits, the hour is padded with a blank), at the start of line; 0 when there is none.
size_t TimeStamp(const std::string& line)
{
    auto digits = [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n; i++)
            if (i >= line.size() || !isdigit((unsigned char)line[i]))
                return false;
        return true;
    };
    size_t d = digits(0, 7) ? 7 : 6;
    if (!digits(0, d) || line.compare(d, 1, " ") != 0)
        return 0;
    size_t t = d + 1;
    if (t >= line.size() || !(line[t] == ' ' || isdigit((unsigned char)line[t])) || !digits(t + 1, 1) ||
        line.compare(t + 2, 1, ":") != 0 || !digits(t + 3, 2) || line.compare(t + 5, 1, ":") != 0 ||
        !digits(t + 6, 2) || line.compare(t + 8, 2, ": ") != 0)
        return 0;
    return t + 10;
}

// The messages of stderr, each line checked for its time stamp and cut after it; an unstamped
// line comes back as "UNSTAMPED: " and the line.
std::vector<std::string> Stamped(const std::string& err, const std::string& addr)
{
    const std::string who = QzChild::program() + ": " + addr + ": ";
    std::vector<std::string> out;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        std::string line = err.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? err.size() : end + 1;
        size_t t = TimeStamp(line);
        if (t > 0 && line.compare(t, who.size(), who) == 0)
            out.push_back(line.substr(t + who.size()));
        else
            out.push_back("UNSTAMPED: " + line);
    }
    return out;
}

std::string Status(const std::string& text)
{
    return "data from remote device = \"" + text + "\"";
}

class QzPrinter : public testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
    TempDir tmp;
};

TEST_F(QzPrinter, JobDeliveredBetweenControlDsAndStatusShownOnce)
{
    const std::string job = Job(200000, 1);
    EmuScript s;
    s.echo_delay_ms = 20;
    s.at_bytes = {{100000, {Send("status: busy\n")}}};
    s.at_ctld[2] = {Send("status: printing\r\n"), Sleep(50),
                    Send("status: idle\r\n" + kCtld)};
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr()}, emu.env(), tmp.write("job", job));
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(emu.wait_received(job.size() + 2, 10000));
    EXPECT_TRUE(emu.received() == kCtld + job + kCtld);
    EXPECT_EQ((std::vector<std::string>{Status("status: busy"),
                                        Status("status: printing"),
                                        Status("status: idle")}),
              Stamped(r.err, emu.addr()));
}

TEST_F(QzPrinter, EmptyJobIsOneControlDAndWaitsForItsEcho)
{
    EmuScript s;
    s.at_ctld[2] = {Sleep(300), Send("status: finished\n"), Sleep(100), Send(kCtld)};
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr(), "-debug"}, emu.env());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kCtld + kCtld, emu.received());
    std::vector<std::string> got = Stamped(r.err, emu.addr());
    for (const char* want : {"got connection", "trying to reset printer", "EOF echoed, printer reset",
                             "manufactured EOF for printer", "EOF from printer", "job done"})
        EXPECT_NE(got.end(), std::find(got.begin(), got.end(), want)) << want;
    EXPECT_NE(got.end(), std::find(got.begin(), got.end(), Status("status: finished")));
}

TEST_F(QzPrinter, NoControlDModeSendsJobAloneAndDoesNotWait)
{
    const std::string job = Job(5000, 2);
    EmuScript s;
    s.echo_delay_ms = -1;
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr(), "-nctld", "-dtime", "1"}, emu.env(),
                    tmp.write("job", job));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    ASSERT_TRUE(emu.wait_received(job.size(), 10000));
    EXPECT_TRUE(emu.received() == job);
}

TEST_F(QzPrinter, ResetEchoTogetherWithStatusLine)
{
    EmuScript s;
    s.at_ctld[1] = {Send("status: warming up\n" + kCtld)};
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr()}, emu.env(), tmp.write("job", "showpage\n"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(kCtld + "showpage\n" + kCtld, emu.received());
}

TEST_F(QzPrinter, SilentPrinterGivesUpAfterHundredTimeouts)
{
    EmuScript s;
    s.echo_delay_ms = -1;
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr(), "-dtime", "0"}, emu.env());
    EXPECT_EQ(1, r.status);
    std::vector<std::string> want;
    for (int i = 1; i <= 99; i++)
        want.push_back("timed out reseting printer " + std::to_string(i));
    want.push_back("hit max retries, aborting");
    EXPECT_EQ(want, Stamped(r.err, emu.addr()));
}

// What the printer says after the final control-D, and the lines data_qz must show for it.
TEST_F(QzPrinter, FinalStatusText)
{
    const std::string a1023(1023, 'A');
    struct Case {
        const char* name;
        std::vector<EmuStep> final;
        std::vector<std::string> lines;
    } cases[] = {
        {"CR LF line split mid-text",
         {Send("printer error: out of pa"), Sleep(300), Send("per\r\n"), Sleep(100), Send(kCtld)},
         {Status("printer error: out of paper")}},
        {"CR LF split between CR and LF",
         {Send("busy\r"), Sleep(300), Send("\n" + kCtld)},
         {Status("busy")}},
        {"1023 bytes without a line end", {Send(a1023), Sleep(300), Send("end" + kCtld)},
         {Status(a1023), Status("end")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EmuScript s;
        s.at_ctld[2] = c.final;
        PrinterEmu emu(s);
        QzRun r = RunQz({"-addr", emu.addr(), "-dtime", "1"}, emu.env(), tmp.write("job", "job"));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.lines, Stamped(r.err, emu.addr()));
    }
}

TEST_F(QzPrinter, LargeJobToSlowPrinterArrivesWhole)
{
    const std::string job = Job(10 * 1024 * 1024, 3);
    EmuScript s;
    s.rcvbuf = 8192;
    s.read_chunk = 4096;
    s.read_pause_ms = 1;
    s.stall_at = 1024 * 1024;  // long enough that a write wait times out
    s.stall_ms = 2500;
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr(), "-dtime", "1", "-in", tmp.write("job", job)}, emu.env());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    ASSERT_TRUE(emu.wait_received(job.size() + 2, 10000));
    const std::string got = emu.received();
    ASSERT_EQ(job.size() + 2, got.size());
    EXPECT_TRUE(got == kCtld + job + kCtld);
}

TEST_F(QzPrinter, PrinterClosingBeforeFinalEchoEndsRun)
{
    EmuScript s;
    s.at_ctld[2] = {Send("flushing"), Sleep(100), Close()};
    PrinterEmu emu(s);
    QzRun r = RunQz({"-addr", emu.addr(), "-dtime", "1"}, emu.env(), tmp.write("job", "job"));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{Status("flushing"),
                                        "printer closed the connection before echoing EOF, aborting"}),
              Stamped(r.err, emu.addr()));
}

TEST_F(QzPrinter, EchoReadRightAfterFinalControlDEndsWait)
{
    const std::string job = "job\n";
    EmuScript s;
    s.at_bytes = {{1 + job.size(), {Sleep(300), Send(kCtld)}}};
    s.at_ctld[2] = {};  // the echo above was its only one
    PrinterEmu emu(s);
    QzChild qz({"-addr", emu.addr(), "-dtime", "1"}, emu.env(), "", job, 1200);
    QzRun r = qz.wait(30000);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kCtld + job + kCtld, emu.received());
}

TEST_F(QzPrinter, UnreadableInputIsNotSentAsWholeJob)
{
    PrinterEmu emu(EmuScript{});
    QzRun r = RunQz({"-addr", emu.addr(), "-in", tmp.path("")}, emu.env());  // a directory
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::vector<std::string>{"read from input returned -1, errno = " +
                                       std::to_string(EISDIR) + ", aborting"},
              Stamped(r.err, emu.addr()));
    emu.wait_received(2, 1000);
    EXPECT_EQ(kCtld, emu.received());
}

TEST_F(QzPrinter, NamedPipeRelayedUntilPrinterGoes)
{
    const std::string fifo = tmp.path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string data = Job(300000, 4);
    EmuScript s;
    s.echo_delay_ms = -1;
    s.at_bytes = {{200000, {Close()}}};
    PrinterEmu emu(s);
    QzChild qz({"-addr", emu.addr(), "-npipe", fifo}, emu.env(), "/dev/null");
    int w = -1;
    for (int tries = 0; w < 0 && tries < 5000 && !qz.exited(); tries++) {
        w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // fails until data_qz has it open
        if (w < 0)
            usleep(1000);
    }
    ASSERT_GE(w, 0);
    size_t done = 0;
    for (int spins = 0; !qz.exited() && spins < 20000; spins++) {
        const std::string& src = done < data.size() ? data : std::string(4096, 'x');
        size_t off = done < data.size() ? done : 0;
        ssize_t n = write(w, src.data() + off, std::min<size_t>(4096, src.size() - off));
        if (n > 0 && done < data.size())
            done += (size_t)n;
        else
            usleep(1000);
    }
    close(w);
    QzRun r = qz.wait(10000);
    EXPECT_EQ(1, r.status);
    std::vector<std::string> got = Stamped(r.err, emu.addr());
    ASSERT_EQ(1u, got.size()) << r.err;
    const std::string failed = "write to printer returned -1, errno = ";
    EXPECT_TRUE(got[0] == failed + std::to_string(EPIPE) + ", aborting" ||
                got[0] == failed + std::to_string(ECONNRESET) + ", aborting")
        << got[0];
    const std::string rec = emu.received();
    ASSERT_GE(rec.size(), 200000u);
    EXPECT_TRUE(rec == data.substr(0, rec.size()));  // relayed as is, no control-D
}

TEST_F(QzPrinter, ConnectionRefusedAndUnknownName)
{
    std::string addr;
    std::vector<std::string> env;
    int fd = RefusingPort(&addr, &env);
    ASSERT_GE(fd, 0);
    QzRun r = RunQz({"-addr", addr}, env);
    close(fd);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(QzChild::program() + ": Connection refused\n", r.err);

    r = RunQz({"-addr", "no-such-station.invalid"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::vector<std::string>{"can't resolve name no-such-station.invalid, aborting"},
              Stamped(r.err, "no-such-station.invalid"));
}

TEST(QzUsage, BadCommandLines)
{
    const std::string prog = QzChild::program();
    const std::string usage =
        "usage: " + prog + "\n" +
        " -addr <string>  address or name of the X station to send to. REQUIRED\n"
        " -in <file>      use <file> as input file, default is standard in\n"
        " -debug          print debug info\n"
        " -nctld          no control D at beginning and end\n"
        " -npipe <file>   use file as name of a named pipe\n"
        " -dtime <int>    delay <int> seconds when sending control D (laserwriter reset),\n"
        "                     or checking for printer (-nctld), default is 5\n";
    struct Case {
        std::vector<std::string> args, env;
        std::string err;
    } cases[] = {
        {{}, {}, usage},
        {{"-addr"}, {}, usage},
        {{"-addr", "st", "-dtime"}, {}, usage},
        {{"-addr", "st", "-bogus"}, {}, usage},
        {{"-debug", "-nctld"}, {}, "No printer name specified, use -addr\n" + usage},
        {{"-addr", "st", "-korval"}, {},
         "KORVAL support is not available in this version of data_qz\n" + usage},
        {{"-addr", "st", "-in", "/nonexistent/job"}, {}, "Can't open input file as specified.\n"},
        {{"-addr", "st", "-npipe", "/nonexistent/fifo"}, {}, "Can't open named pipe as specified.\n"},
        {{"-addr", "st"}, {std::string(QZ_PORT_ENV) + "=87x"},
         std::string(QZ_PORT_ENV) + " must be a port number from 1 to 65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        QzRun r = RunQz(c.args, c.env);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
    }
}

}  // namespace
