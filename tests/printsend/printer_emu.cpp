#include "tests/printsend/printer_emu.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "printsend/data_qz.h"

namespace {

// Takes the printer port on the first free loopback address (tests run side by side), or any port
// on 127.0.0.1 when port 87 is not ours to bind.
int BindPrinterPort(bool listening, int rcvbuf, std::string* addr, int* port)
{
    for (int host = 1; host < 250; host++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        int one = 1;
        if (listening)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(0x7f000000u | (uint32_t)host);
        sin.sin_port = htons(QZ_PORT);
        if (bind(fd, (sockaddr*)&sin, sizeof sin) == 0 && (!listening || listen(fd, 1) == 0)) {
            *addr = "127.0.0." + std::to_string(host);
            *port = QZ_PORT;
            return fd;
        }
        int e = errno;
        close(fd);
        if (e == EACCES || e == EPERM)
            break;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (bind(fd, (sockaddr*)&sin, sizeof sin) != 0 || (listening && listen(fd, 1) != 0) ||
        getsockname(fd, (sockaddr*)&sin, &len) != 0) {
        close(fd);
        return -1;
    }
    *addr = "127.0.0.1";
    *port = ntohs(sin.sin_port);
    return fd;
}

std::vector<std::string> PortEnv(int port)
{
    if (port == QZ_PORT)
        return {};
    return {std::string(QZ_PORT_ENV) + "=" + std::to_string(port)};
}

}  // namespace

int RefusingPort(std::string* addr, std::vector<std::string>* env)
{
    int port = 0;
    int fd = BindPrinterPort(false, 0, addr, &port);
    *env = PortEnv(port);
    return fd;
}

PrinterEmu::PrinterEmu(EmuScript script) : script_(std::move(script))
{
    listen_fd_ = BindPrinterPort(true, script_.rcvbuf, &addr_, &port_);
    thread_ = std::thread([this] { run(); });
}

PrinterEmu::~PrinterEmu()
{
    stop_ = true;
    thread_.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

std::vector<std::string> PrinterEmu::env() const
{
    return PortEnv(port_);
}

std::string PrinterEmu::received()
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

bool PrinterEmu::wait_received(size_t n, int ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                        [&] { return received_.size() >= n || over_; }) &&
           received_.size() >= n;
}

static void Pause(int ms, const std::atomic<bool>& stop)
{
    for (int left = ms; left > 0 && !stop; left -= 10)
        usleep((useconds_t)(left < 10 ? left : 10) * 1000);
}

void PrinterEmu::steps(const std::vector<EmuStep>& list)
{
    for (const EmuStep& s : list) {
        if (conn_ < 0)
            return;
        switch (s.kind) {
        case EmuStep::SEND: {
            size_t done = 0;
            while (done < s.bytes.size()) {
                ssize_t w = send(conn_, s.bytes.data() + done, s.bytes.size() - done, MSG_NOSIGNAL);
                if (w <= 0)
                    break;
                done += (size_t)w;
            }
            break;
        }
        case EmuStep::SLEEP:
            Pause(s.ms, stop_);
            break;
        case EmuStep::CLOSE:
            close(conn_);
            conn_ = -1;
            break;
        }
    }
}

void PrinterEmu::run()
{
    auto finish = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        over_ = true;
        cv_.notify_all();
    };
    if (listen_fd_ < 0)
        return finish();
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            conn_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn_ >= 0)
                break;
        }
    }
    steps(script_.at_connect);
    std::vector<bool> fired(script_.at_bytes.size(), false);
    int ctlds = 0;
    bool stalled = false;
    std::string chunk(script_.read_chunk, '\0');
    while (!stop_ && conn_ >= 0) {
        pollfd p{conn_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        ssize_t n = read(conn_, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        size_t total;
        {
            std::lock_guard<std::mutex> lock(mu_);
            received_.append(chunk.data(), (size_t)n);
            total = received_.size();
            cv_.notify_all();
        }
        for (ssize_t i = 0; i < n && conn_ >= 0; i++) {
            if (chunk[(size_t)i] != QZ_CTLD)
                continue;
            auto it = script_.at_ctld.find(++ctlds);
            if (it != script_.at_ctld.end())
                steps(it->second);
            else if (script_.echo_delay_ms >= 0)
                steps({Sleep(script_.echo_delay_ms), Send(std::string(1, QZ_CTLD))});
        }
        for (size_t k = 0; k < fired.size(); k++) {
            if (!fired[k] && total >= script_.at_bytes[k].first) {
                fired[k] = true;
                steps(script_.at_bytes[k].second);
            }
        }
        if (script_.stall_ms > 0 && !stalled && total >= script_.stall_at) {
            stalled = true;
            Pause(script_.stall_ms, stop_);
        }
        if (script_.read_pause_ms > 0)
            Pause(script_.read_pause_ms, stop_);
    }
    if (conn_ >= 0)
        close(conn_);
    conn_ = -1;
    finish();
}
