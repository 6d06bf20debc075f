// Answers made at the relay. A client that starts waits for one reply after another: xterm asks
// for some 210 colours one AllocColor at a time, each a round trip over the line. On a TrueColor
// default colormap the answer to AllocColor depends on nothing but the colour asked for and the X
// server, so the relay learns each answer once (and keeps what it learnt on disk, per X server) and
// from then on answers at once. The request still goes to the X server, whose own reply is checked
// against the one made here and dropped.
//
// A client must never see its stream out of order. The relay therefore answers only when every
// earlier request of the client that it passed on has had all its replies and errors (the X server
// handles a client's requests in order, so nothing of them can come after), and it raises the
// sequence number of an event the X server sent before it had handled an answered request to the
// latest answered one: Xlib takes a sequence number that goes back for a lost one.
//
// With the terminal's agreement (quiet), the X server's replies to answered requests stay off the
// line: the relay marks each AllocColor request it answered (XANSWER_MARK in its unused last two
// bytes, which it clears in every other AllocColor), and the terminal, which clears them again
// before the X server sees the request, keeps the replies to marked requests. It accounts for them
// now and then in one XANSWER_KEPT message: how many, and a hash of them in order, which the relay
// checks against the answers it made (XAnswerKept).
//
// XAnswerStream follows one client: its requests as they are read (XAnswerRequest) and the X
// server's messages on their way to the client (XAnswerServer), which it hands on to a sink with
// the answers made here in their place.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

constexpr uint8_t X_ALLOC_COLOR = 84;
constexpr size_t XANSWER_COLORS_MAX = 16384;  // colours a table keeps (16 bytes each on disk)
constexpr size_t XANSWER_PENDING_MAX = 4096;  // requests awaiting replies a stream follows
constexpr uint16_t XANSWER_MARK = 1;          // bytes 14-15 of an AllocColor answered at the relay
// The terminal's account of the replies it kept, a MSG_XSTORE record: [0] XANSWER_KEPT, [1] client
// id, [2..5] how many (most significant byte first), [6..13] their XAnswerFold hash.
constexpr uint8_t XANSWER_KEPT = 5;
constexpr size_t XANSWER_KEPT_LEN = 14;
constexpr uint64_t XANSWER_FOLD_START = 0xcbf29ce484222325ull;

struct XAnswerColor {
    uint16_t rgb[3];  // the colour the X server allocated
    uint32_t pixel;
    bool operator==(const XAnswerColor&) const = default;
};

// What the relay knows of one X server: the AllocColor answers of its default colormap, keyed by
// the colour asked for (red << 32 | green << 16 | blue).
struct XAnswerTable {
    uint64_t server = 0;  // XAnswerServerKey of the X server the table is for; 0: none yet
    std::unordered_map<uint64_t, XAnswerColor> colors;
    bool off = false;       // an answer made here was wrong: none is made any more
    uint64_t answered = 0;  // requests answered here
    uint64_t learned = 0;   // colours added from the X server's replies
    uint64_t wrong = 0;     // replies of the X server that differed from the answer made here
    uint64_t checked = 0;   // replies of the X server checked against an answer made here
};

// The X server of a set-up reply (n bytes, status Success), as far as AllocColor's answers go: the
// whole reply but the client's resource ids. 0 when the reply is too short.
uint64_t XAnswerServerKey(const uint8_t* reply, size_t n);
// The default colormap of the first screen of a set-up reply (its byte order read from the
// protocol version) when that screen's root visual is TrueColor, else 0.
uint32_t XAnswerTrueColormap(const uint8_t* reply, size_t n);

// The table on disk: "LQAC", version 1, the server key, the count, then per colour the request's
// red, green, blue, the reply's red, green, blue and pixel (high byte first), and a 64-bit FNV-1a
// of everything before it. Load: 0, or -1 with why set (missing, damaged, another server); the
// table is left empty on -1. Save: whole or not at all.
int XAnswerLoad(XAnswerTable* t, uint64_t server, const std::string& path, std::string* why);
int XAnswerSave(const XAnswerTable& t, const std::string& dir, const std::string& path, std::string* why);
std::vector<uint8_t> XAnswerFileBytes(const XAnswerTable& t);
int XAnswerFileRead(XAnswerTable* t, uint64_t server, const uint8_t* p, size_t n, std::string* why);

// Where the client's bytes go, in order.
using XAnswerSink = bool (*)(void* ctx, const uint8_t* p, size_t n);

struct XAnswerStream {
    bool little = false;
    uint32_t colormap = 0;     // the default colormap answers are made for; 0: none are
    uint32_t reqSeq = 0;       // requests read from the client
    uint32_t lastPassed = 0;   // the last request not answered here
    uint32_t done = 0;         // every request up to this one has had all its replies and errors
    uint32_t lastAnswer = 0;   // the latest answer made here that went to the client
    uint8_t opcode = 0;        // of the request being read
    struct Pending {
        uint32_t seq;
        uint8_t opcode;
        bool answered;
        uint64_t color;        // AllocColor: the colour asked for
        XAnswerColor made;     // answered: what the client was told
    };
    std::deque<Pending> pending;  // requests with a reply, in order, not yet done
    std::deque<std::vector<uint8_t>> ready;  // answers made, for the next message boundary
    uint8_t head[32];
    uint32_t headHave = 0;
    uint32_t bodyLeft = 0;     // bytes of the message in progress still to come
    bool dropping = false;     // the message in progress is the X server's reply to an answer
    bool lost = false;         // too much to follow: no more answers for this client
    bool quiet = false;        // the terminal keeps the X server's replies to answered requests
    std::deque<XAnswerColor> unchecked;  // quiet: answers made that the terminal has not accounted for
};

// The hash of kept replies, one folded in after the other: an AllocColor reply (32 bytes, the
// client's byte order) by its colour and pixel, or (reply null) an error in its place.
uint64_t XAnswerFold(uint64_t hash, const uint8_t* reply, bool little);
// The terminal kept count replies with this hash: they must be those of the oldest unchecked
// answers. When they are not, the table is wrong and answers stop.
void XAnswerKept(XAnswerStream* s, XAnswerTable* t, uint32_t count, uint64_t hash);
// An XANSWER_KEPT record (n bytes): 0 with its fields, or -1.
int XAnswerKeptRead(const uint8_t* p, size_t n, uint8_t* client, uint32_t* count, uint64_t* hash);
void XAnswerKeptWrite(uint8_t client, uint32_t count, uint64_t hash, uint8_t* out);  // XANSWER_KEPT_LEN bytes

// A whole request of the client (the first n bytes of it at req, n >= 4). True when the relay
// answered it: the answer waits in ready for XAnswerFlush. A quiet stream marks an AllocColor
// request in place (its bytes 14-15: XANSWER_MARK when answered, else 0).
bool XAnswerRequest(XAnswerStream* s, XAnswerTable* t, uint8_t* req, size_t n);
// Bytes of the X server's messages to the client, in order. They go to the sink, but for the X
// server's replies to answered requests, with raised sequence numbers where needed, and with the
// answers made here at the first message boundary. False when the sink refused bytes.
bool XAnswerServer(XAnswerStream* s, XAnswerTable* t, const uint8_t* p, size_t n, XAnswerSink sink, void* ctx);
// Hands the answers made so far to the sink if no message is in progress.
bool XAnswerFlush(XAnswerStream* s, XAnswerSink sink, void* ctx);
// "answers at the relay: ..." figures of a table.
std::string XAnswerStatsLine(const XAnswerTable& t);
