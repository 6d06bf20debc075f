// A printer port on loopback for the data_qz tests: accepts one connection, records every byte it
// receives and answers by a script (echo control-D after a delay, send status text in pieces, stay
// silent, close early, read slowly so that the sender's writes block).
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct EmuStep {
    enum Kind { SEND, SLEEP, CLOSE } kind;
    std::string bytes;
    int ms = 0;
};
inline EmuStep Send(std::string b) { return {EmuStep::SEND, std::move(b), 0}; }
inline EmuStep Sleep(int ms) { return {EmuStep::SLEEP, {}, ms}; }
inline EmuStep Close() { return {EmuStep::CLOSE, {}, 0}; }

struct EmuScript {
    std::vector<EmuStep> at_connect;
    // Control-D number k received (1 is the reset): these steps instead of the plain echo.
    std::map<int, std::vector<EmuStep>> at_ctld;
    // Once this many bytes have been received, run the steps (each entry once).
    std::vector<std::pair<size_t, std::vector<EmuStep>>> at_bytes;
    int echo_delay_ms = 0;   // plain echo of a control-D after this delay; -1: never echo
    size_t read_chunk = 65536;
    int read_pause_ms = 0;   // pause after every read: a slow printer
    size_t stall_at = 0;     // once this many bytes are in, stop reading for stall_ms
    int stall_ms = 0;
    int rcvbuf = 0;          // receive buffer size when non-zero
};

class PrinterEmu {
public:
    explicit PrinterEmu(EmuScript script);
    ~PrinterEmu();
    PrinterEmu(const PrinterEmu&) = delete;
    PrinterEmu& operator=(const PrinterEmu&) = delete;

    const std::string& addr() const { return addr_; }
    // Environment for data_qz: names the port when it is not the standard one.
    std::vector<std::string> env() const;
    std::string received();
    // Waits until at least n bytes have arrived or the connection is over; false after ms.
    bool wait_received(size_t n, int ms);

private:
    void run();
    void steps(const std::vector<EmuStep>& list);
    EmuScript script_;
    std::string addr_;
    int port_ = 0;
    int listen_fd_ = -1;
    int conn_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::string received_;
    bool over_ = false;
    std::thread thread_;
};

// Binds a loopback address to the printer port without listening, so connecting there is refused.
// Returns the descriptor (close it when done) and sets addr and env like PrinterEmu.
int RefusingPort(std::string* addr, std::vector<std::string>* env);
