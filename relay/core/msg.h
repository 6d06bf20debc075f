// The link message catalogue: the vocabulary shared by every layer of the relay and by the
// terminal-side peer. Only types 0 to 3 carry a client id; types 0, 3 and 9 are compressed.
#pragma once
#include <cstdint>

enum : uint8_t {
    MSG_XMERGED = 0,
    MSG_CONNECT = 1,
    MSG_XCACHED = 2,
    MSG_XDATA = 3,
    MSG_TRANSPORT = 4,
    MSG_START = 5,
    MSG_XREADY = 6,
    MSG_FILEOPEN = 7,
    MSG_FILECLOSE = 8,
    MSG_FILEDATA = 9,
    MSG_EXTENSIONS = 10,  // host to terminal, only in answer to an offer (relay/link/linkext.h)
    MSG_SHUTDOWN = 11,
    MSG_DEADCLIENT = 12,
    MSG_XSTORE = 13,      // references into the message store, both ways (relay/xspec/xstore.h)
    MSG_REXMIT_HDR = 14,
    MSG_EXTTRANSPORT = 15,
};

// True for the message types that carry a client id in the packet header.
inline bool MsgHasClient(uint8_t type) { return type <= MSG_XDATA; }
// True for the message types whose packets the transport compresses.
inline bool MsgCompressible(uint8_t type) {
    return type == MSG_XMERGED || type == MSG_XDATA || type == MSG_FILEDATA;
}
// True when version.level lies below v.l: the one comparison of protocol versions, for both ends
// and every layer (an unknown version reads as 0.0, below every real one).
inline bool EarlierVersion(int version, int level, int v, int l) {
    return version < v || (version == v && level < l);
}
