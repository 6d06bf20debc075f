// lqterm: the terminal-side peer on a Unix workstation. It runs the terminal end of the link over a
// serial device or a pseudo-terminal (whose far side is the relay's controlling terminal), connects
// each client of the relay to a real X server, answers the relay's dialogues, fetches files from the
// host and echoes the line test. All of its state is one TermData record.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "relay/core/buf.h"
#include "relay/core/client.h"
#include "relay/link/link.h"
#include "relay/link/linkext.h"
#include "relay/link/simline.h"
#include "relay/xspec/xspec.h"
#include "relay/xspec/xstore.h"
#include "terminal/status.h"

// ---- X protocol helpers (pure, on plain byte arrays) ---------------------------------------------

constexpr uint8_t X_QUERY_EXTENSION = 98;
constexpr uint8_t X_LIST_EXTENSIONS = 99;

// True for the names of extensions that cannot work across the line (hidden from clients).
bool TermHiddenExtension(const uint8_t* name, size_t n);
// A whole QueryExtension request (len bytes): when it names a hidden extension, rewrites the name
// so that the X server answers that it is absent. Returns 1 when rewritten, 0 when not, -1 when the
// request is malformed (left as it is).
int TermHideQueryExtension(uint8_t* req, size_t len, bool little);
// A whole ListExtensions reply: removes the hidden names and fixes its count and length. Returns 0,
// or -1 when the reply is malformed (left as it is).
int TermFilterListExtensions(std::vector<uint8_t>* reply, bool little);

// ---- loopback echo of the line test ------------------------------------------------------------

struct TermEcho {
    bool inside = false;          // between 0x90 and 0x9C
    std::vector<uint8_t> held;    // bytes received since the 0x90
    int swallow[256] = {};        // bytes the imitated line loses
    bool strip8 = false;          // the imitated line clears bit 7
};
// Feeds received line bytes; appends what is to be echoed to out.
void TermEchoFeed(TermEcho* e, const uint8_t* p, size_t n, std::vector<uint8_t>* out);

// ---- the peer ----------------------------------------------------------------------------------

struct TermOptions {
    std::string line;          // serial device, or empty for a command on a pseudo-terminal
    int speed = 38400;
    std::string display;       // X server; empty = $DISPLAY
    int level = 3;
    bool noext = false;        // offer no extensions: act as a terminal of the base protocol
    bool norecover = false;    // offer all but LINKEXT_RECOVER
    SimLineConfig sim{};
    bool simulate = false;
    std::vector<std::string> outages;
    bool stats = false;
    std::string statsFile;     // JSON record also written here (empty = standard error only)
    int status = -1;           // live status line: 1 on, 0 off, -1 when standard error is a terminal
    std::string fetchRemote, fetchLocal;
    bool echo = false;
    TermEcho echoCfg;
    std::vector<char*> command;  // after "--"
};

// Parses the command line. 0, or -1 after printing the usage text.
int TermParseArgs(TermOptions* o, int argc, char** argv);

// One connection to the X server, for one client of the relay.
struct TermClient {
    ClientRec rec;             // the terminal end's view of the client (queues, byte order, id)
    int xfd = -1;              // connection to the X server, -1 once closed
    bool setupDone = false;    // the X server's set-up reply has been passed on
    std::vector<uint8_t> xin;  // bytes from the X server not yet coded for the link
    std::vector<uint8_t> xout; // request bytes for the X server
    size_t parsed = 0;         // xout bytes that may be written (whole or passed-through requests)
    uint32_t reqLeft = 0;      // bytes of the request in progress still to come
    uint32_t feedLeft = 0;     // bytes of a long server message not yet given to the encoder
    uint16_t seq = 0;          // sequence number of the last request passed to the server
    std::vector<uint16_t> listExtSeqs;  // ListExtensions requests waiting for their reply
    int deadPhase = -1;        // -1: alive; 0: we reported it dead; 1: host reported, we answered
    // What went to the X server before it said a word, kept so that a connection the server drops
    // unanswered (as a server does that resets when its last client leaves) can be dialled again.
    std::vector<uint8_t> sentUnheard;
    bool heard = false;        // the X server has sent at least one byte
    bool redialled = false;    // the one second try has been spent
    uint8_t opOfSeq[256] = {}; // major opcode of the requests by the low byte of their number
    // The message store (terminal/storeterm.h): a reply on its way whole, added once all of it
    // is on the link.
    std::vector<uint8_t> storeKeep;
    bool storePending = false;  // all of it is with the encoder
    // AllocColor requests the relay answered itself (LINKEXT_ANSWERQUIET), by sequence number,
    // oldest first: the X server's replies to them stay here, and are accounted for in keptCount
    // and keptHash (XAnswerFold) until the next XANSWER_KEPT record.
    bool answerQuiet = false;
    std::deque<uint16_t> answered;
    uint32_t keptCount = 0;
    uint64_t keptHash = 0;
};

// What an answer to one of the relay's misses still owes it.
struct TermStoreAnswer {
    uint8_t clientId;
    std::vector<uint8_t> bytes;  // empty: lost
    size_t pos;
};

struct TermStats {
    uint64_t xBytesToServer = 0, xBytesFromServer = 0;
    uint64_t lineBytesIn = 0, lineBytesOut = 0;
    uint64_t startUsec = 0;
    uint64_t uncompressed = 0;  // messages the coder could not shrink, sent as they were
    uint64_t setupDiffs = 0;       // set-up replies sent as differences (terminal/setupterm.h)
    uint64_t setupBytesSaved = 0;  // their bytes less the differences'
    uint64_t answersKept = 0;      // replies to requests the relay answered, kept off the line
};

struct TermData {
    TermOptions opt;
    BufData bufData{};
    LinkEnd link{};
    XspecMsgCache xspecCache{};
    XspecEnv xspecEnv{};
    int effVersion = 0, effLevel = 0;  // what both ends use: the host's version, the lower level
    Lst inList{}, outList{};
    TermClient* clients[64] = {};
    int codeFrom = 0;  // the client whose server output is coded first in the next pass
    int lineFd = -1;
    int slaveFd = -1;  // our own hold on the pseudo-terminal's slave while the command runs
    pid_t child = -1;
    int childStatus = 0;
    bool childDone = false;
    SimLine sim;
    std::vector<uint8_t> fromFd, toFd;  // bytes waiting for the simulated line / for the descriptor
    bool ready = false;                 // MSG_START answered
    int shutdownPhase = -1;             // -1 none; 0 we asked; 2 finished
    bool done = false;
    int exitCode = 0;
    // remote file fetch
    int fetchState = 0;  // 0 idle, 1 open sent, 2 receiving, 3 finished, -1 failed
    FILE* fetchOut = nullptr;
    uint64_t fetchBytes = 0;
    TermStats stats;
    TermStatus status;
    bool littleEndian = true;
    uint32_t extAccepted = 0;     // LINKEXT_... bits the relay agreed to
    bool unvouchedNoted = false;  // the log says once why clients may be refused
    // Set-up differences (terminal/setupterm.h)
    LinkExtParams setupOffer{};         // what the ready message offers
    std::vector<uint8_t> setupBase;     // the last Success reply both ends hold
    bool setupDiff = false;             // the relay takes differences
    // The message store (terminal/storeterm.h)
    XStore store;
    bool storeOn = false;      // the relay takes references
    bool storeFrozen = false;  // our shutdown message has gone: nothing changes the store
    std::deque<TermStoreAnswer> storeAnswers;
};

extern TermData* pTermData;

int TermMain(int argc, char** argv);
// Handles every message the link has delivered to inList.
void TermDispatch(TermData* t);
// The statistics as one summary line and as one JSON record.
std::string TermStatsLine(const TermData* t);
std::string TermStatsJson(const TermData* t);
