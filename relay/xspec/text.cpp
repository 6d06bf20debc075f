// ImageText8: every request goes in a single form that leaves out what equals the previous
// request, and the echo run (a character drawn into a cell twice, then the cursor a cell further)
// goes as a run message of a few bytes against three templates that both ends keep.
//
// Template layout (20 bytes, a one-character request): 0 opcode, 1 count, 2-3 length, 4-7
// drawable, 8-11 gc, 12-13 x, 14-15 y, 16 character, 17-19 padding (kept zero: the compact forms
// never carry padding, so a rebuilt request has zero padding).
#include <cstring>

#include "relay/xspec/xspec.h"

namespace {

constexpr int TEXT_BUF_MAX = 131;     // link buffer of a single form, current peer
constexpr int TEXT_EARLY_MAX = 163;   // whole single form, earlier peer
constexpr int TEXT_NEED_MORE = 2, TEXT_NO_RUN = 1, TEXT_RUN = 3;

int Pad(int n) { return (4 - n % 4) % 4; }

}  // namespace

bool XspecTextWellFormed(const uint8_t* hdr, bool little) {
    const int n = hdr[1];
    return XspecLoad16(hdr + 2, little) * 4 == 16 + n + Pad(n);
}

int XspecTextSingleHdrSize(uint16_t flags) {
    return 4 + (flags & 0x400 ? 4 : 0) + (flags & 0x200 ? 4 : 0) + (flags & 0x80 ? 2 : 0) + (flags & 0x40 ? 2 : 0);
}

int XspecTextRunSize(uint16_t flags) {
    int n = 4;
    for (uint16_t bit = 0x80; bit >= 0x10; bit >>= 1) n += flags & bit ? 2 : 0;
    for (uint16_t bit = 0x08; bit >= 0x02; bit >>= 1) n += flags & bit ? 1 : 0;
    return n;
}

void XspecTextApplySingle(XspecState* st, const uint8_t* req, int k, bool little) {
    std::memcpy(st->lastText, req, 16);
    st->lastTextValid = 1;
    const uint32_t gc = XspecLoad32(req + 8, little);
    if (k == 1) st->textGc = gc;
    if (k == 3) st->cursorGc = gc;
    XspecTextRecordTemplates(st, req, little);
}

void XspecTextRecordTemplates(XspecState* st, const uint8_t* req, bool little) {
    if (req[1] != 1) return;
    const uint32_t gc = XspecLoad32(req + 8, little);
    uint8_t t[20] = {};
    std::memcpy(t, req, 17);
    if (gc == st->textGc) {
        std::memcpy(st->templates[0], t, 20);
        std::memcpy(st->templates[1], t, 20);
    } else if (gc == st->cursorGc) {
        std::memcpy(st->templates[2], t, 20);
    }
}

int XspecTextApplyRun(XspecState* st, const uint8_t* msg, uint8_t* out) {
    uint8_t(*t)[20] = st->templates;
    const uint16_t flags = XspecLoad16(msg + 2, false);  // ours: most significant byte first
    const bool pair = flags & 0x2000;
    const uint8_t* p = msg + 4;
    auto take = [&p](uint8_t* dst, int n) {
        std::memcpy(dst, p, static_cast<size_t>(n));
        p += n;
    };
    if (flags & 0x80) take(t[0] + 12, 2);
    if (flags & 0x40) take(t[0] + 14, 2);
    if (flags & 0x20) take(t[2] + 12, 2);
    if (flags & 0x10) take(t[2] + 14, 2);
    if (!pair && (flags & 0x08)) take(t[0] + 16, 1);
    if (flags & 0x04) take(t[1] + 16, 1);
    if (flags & 0x02) take(t[2] + 16, 1);
    int n = 0;
    if (!pair) std::memcpy(out + 20 * n++, t[0], 20);
    std::memcpy(out + 20 * n, t[1], 20);  // the character cell: template 2 at template 1's place
    std::memcpy(out + 20 * n++ + 12, t[0] + 12, 4);
    std::memcpy(out + 20 * n++, t[2], 20);
    std::memcpy(t[0] + 12, t[2] + 12, 4);
    std::memcpy(t[1] + 12, t[2] + 12, 4);
    std::memcpy(st->lastText, t[2], 16);
    st->lastTextValid = 1;
    return n;
}

int XspecTextDecodeSingle(XspecState* st, const uint8_t* msg, bool little, uint8_t* out) {
    const uint16_t flags = XspecLoad16(msg + 2, false);  // ours: most significant byte first
    const int k = flags & 0x100 ? msg[1] : 0;
    const int n = flags & 0x100 ? 1 : msg[1];
    const uint8_t* p = msg + 4;
    std::memcpy(out, st->lastText, 16);
    out[0] = X_IMAGE_TEXT8;
    out[1] = static_cast<uint8_t>(n);
    XspecStore16(out + 2, static_cast<uint16_t>((16 + n + 3) / 4), little);
    if (flags & 0x400) std::memcpy(out + 4, p, 4), p += 4;
    if (flags & 0x200)
        std::memcpy(out + 8, p, 4), p += 4;
    else if (flags & 0x1000)
        std::memcpy(out + 8, st->templates[0] + 8, 4);
    else if (flags & 0x800)
        std::memcpy(out + 8, st->templates[2] + 8, 4);
    if (flags & 0x80) std::memcpy(out + 12, p, 2), p += 2;
    if (flags & 0x40) std::memcpy(out + 14, p, 2), p += 2;
    std::memcpy(out + 16, p, static_cast<size_t>(n));
    std::memset(out + 16 + n, 0, static_cast<size_t>(Pad(n)));
    XspecTextApplySingle(st, out, k, little);
    return 16 + n + Pad(n);
}

// ---------------------------------------------------------------------------------------------
// Host end

namespace {

// Request i of the head buffer: its offset, or -1 when it does not lie wholly in the buffer.
int ReqEnd(const Buf* b, int off, bool little) {
    if (static_cast<int>(b->Len()) - off < 4) return -1;
    const int size = static_cast<int>(XspecRequestSize(b->start + off, little));
    return off + size <= static_cast<int>(b->Len()) ? off + size : -1;
}

bool OneChar(const uint8_t* r, bool little) {
    return r[0] == X_IMAGE_TEXT8 && r[1] == 1 && XspecLoad16(r + 2, little) == 5;
}

// 0 when the head buffer begins with an echo triple (or pair).
int XspecTextCheckRun(const Buf* b, bool triple, bool little) {
    const int n = triple ? 3 : 2;
    if (static_cast<int>(b->Len()) < 20 * n) return 1;
    const uint8_t* r[3] = {b->start, b->start + 20, b->start + 40};
    for (int i = 0; i < n; i++)
        if (!OneChar(r[i], little)) return 1;
    auto same = [](const uint8_t* a, const uint8_t* c, int off, int len) { return std::memcmp(a + off, c + off, len) == 0; };
    const uint8_t* last = r[n - 1];
    if (!same(r[0], last, 4, 4) || !same(r[0], last, 14, 2) || !same(r[0], r[1], 4, 4) || !same(r[0], r[1], 14, 2))
        return 1;
    if (XspecLoad16(last + 12, little) <= XspecLoad16(r[0] + 12, little)) return 1;
    if (triple) {
        if (!same(r[0], r[1], 12, 2) || !same(r[0], r[1], 8, 4)) return 1;
        if (same(r[0], r[2], 8, 4) || same(r[1], r[2], 8, 4)) return 1;
    } else if (same(r[0], r[1], 8, 4)) {
        return 1;
    }
    return 0;
}

int XspecTextClassify(XspecState* st, const Buf* b, bool little) {
    st->thirdSeen = 0;
    uint32_t gcs[3];
    int off = 0, result = 0;
    for (int i = 0; i < 3 && !result; i++) {
        int end = ReqEnd(b, off, little);
        if (end < 0) return TEXT_NEED_MORE;
        const uint8_t* r = b->start + off;
        if (!OneChar(r, little)) {
            result = TEXT_NO_RUN;
            break;
        }
        gcs[i] = XspecLoad32(r + 8, little);
        if (i == 2) {
            st->thirdSeen = 1;
            if (st->runKnown && (gcs[0] != st->textGc || gcs[1] != st->textGc || gcs[2] != st->cursorGc))
                result = TEXT_NO_RUN;
        }
        off = end;
    }
    if (result == TEXT_NO_RUN) {
        if (st->thirdSeen) st->runKnown = st->templatesSent = 0;  // the echo pattern has broken
        return TEXT_NO_RUN;
    }
    if (XspecTextCheckRun(b, true, little) != 0) {
        st->thirdSeen = 0;
        return TEXT_NO_RUN;
    }
    if (st->runKnown) return TEXT_RUN;
    // The templates themselves are set up by the template-numbered requests that follow, which the
    // peer sees too.
    st->runKnown = 1;
    st->templatesSent = 0;
    return TEXT_RUN;
}

// Sends the head request in the single form, as template k (0: none). 0 sent, 1 not now.
int XspecTextEncode(XspecEnv* env, ClientRec* client, int k) {
    XspecState* st = client->xspec;
    const bool little = XspecLittle(client);
    Lst* q = client->reqList;
    uint8_t req[272];
    if (XspecInPeek(q, 0, req, 16) < 16 || req[0] != X_IMAGE_TEXT8 || !XspecTextWellFormed(req, little)) return 1;
    int n = req[1];
    const int size = 16 + n + Pad(n);
    if (XspecInAvail(q, static_cast<size_t>(size)) < static_cast<size_t>(size)) return 1;  // not whole yet
    XspecInPeek(q, 16, req + 16, static_cast<size_t>(n));
    if (k && n != 1) return 1;

    uint16_t flags = 0xc000;
    if (!st->lastTextValid) {
        flags = 0xc6c0;
    } else {
        if (std::memcmp(req + 4, st->lastText + 4, 4) != 0) flags |= 0x400;
        if (std::memcmp(req + 8, st->lastText + 8, 4) != 0) {
            if (st->templatesSent && std::memcmp(req + 8, st->templates[0] + 8, 4) == 0)
                flags |= 0x1000;
            else if (st->templatesSent && std::memcmp(req + 8, st->templates[2] + 8, 4) == 0)
                flags |= 0x800;
            else
                flags |= 0x200;
        }
        if (std::memcmp(req + 12, st->lastText + 12, 2) != 0) flags |= 0x80;
        if (std::memcmp(req + 14, st->lastText + 14, 2) != 0) flags |= 0x40;
    }
    if (k) flags |= 0x100;
    uint8_t msg[4 + 12 + 255];
    int len = 0;
    msg[len++] = X_IMAGE_TEXT8;
    msg[len++] = static_cast<uint8_t>(k ? k : n);
    XspecStore16(msg + 2, flags, false);
    len += 2;
    if (flags & 0x400) std::memcpy(msg + len, req + 4, 4), len += 4;
    if (flags & 0x200) std::memcpy(msg + len, req + 8, 4), len += 4;
    if (flags & 0x80) std::memcpy(msg + len, req + 12, 2), len += 2;
    if (flags & 0x40) std::memcpy(msg + len, req + 14, 2), len += 2;
    const bool early = XspecEarlierVersion(env, 1, 3);
    if (early && len + n > TEXT_EARLY_MAX) {
        n = TEXT_EARLY_MAX - len;  // an earlier peer takes no more: the surplus is dropped
        msg[1] = static_cast<uint8_t>(n);
    }
    std::memcpy(msg + len, req + 16, static_cast<size_t>(n));
    len += n;

    const int per = early ? TEXT_EARLY_MAX : TEXT_BUF_MAX;
    Buf* bufs[3];
    const int nbuf = (len + per - 1) / per;
    for (int i = 0; i < nbuf; i++) {
        const int k2 = len - i * per < per ? len - i * per : per;
        bufs[i] = XspecNewBuf(env->pBufData, MSG_XDATA, client->clientId, msg + i * per, static_cast<size_t>(k2));
        if (!bufs[i]) {
            while (i > 0) BufFree(env->pBufData, bufs[--i]);
            return 1;
        }
    }
    // The state changes as the peer will rebuild the request.
    req[1] = static_cast<uint8_t>(n);
    XspecStore16(req + 2, static_cast<uint16_t>((16 + n + 3) / 4), little);
    XspecTextApplySingle(st, req, k, little);
    XspecInSkip(env->pBufData, q, static_cast<size_t>(size));
    for (int i = 0; i < nbuf; i++) lstAdd(client->encList, bufs[i]);
    return 0;
}

// Sends the run at the start of the head buffer in the run form, but only when the peer's rebuild
// from its templates gives exactly these requests (same drawable and contexts as the templates).
int XspecTextEncodeRun(XspecEnv* env, ClientRec* client, bool triple) {
    XspecState* st = client->xspec;
    const Buf* b = lstFirstT<Buf>(client->reqList);
    const int n = triple ? 3 : 2;
    const uint8_t* first = b->start;
    const uint8_t* last = b->start + 20 * (n - 1);
    uint8_t(*t)[20] = st->templates;
    uint8_t msg[16];
    uint16_t flags = triple ? 0x8000 : 0xa000;
    int len = 4;
    auto field = [&](uint16_t bit, const uint8_t* src, const uint8_t* cur, int k) {
        if (std::memcmp(src, cur, static_cast<size_t>(k)) == 0) return;
        flags |= bit;
        std::memcpy(msg + len, src, static_cast<size_t>(k));
        len += k;
    };
    field(0x80, first + 12, t[0] + 12, 2);
    field(0x40, first + 14, t[0] + 14, 2);
    field(0x20, last + 12, t[2] + 12, 2);
    field(0x10, last + 14, t[2] + 14, 2);
    if (triple) field(0x08, first + 16, t[0] + 16, 1);
    field(0x04, b->start + (triple ? 20 : 0) + 16, t[1] + 16, 1);
    field(0x02, last + 16, t[2] + 16, 1);
    msg[0] = X_IMAGE_TEXT8;
    msg[1] = 0;
    XspecStore16(msg + 2, flags, false);

    XspecState trial = *st;
    uint8_t rebuilt[60];
    XspecTextApplyRun(&trial, msg, rebuilt);
    for (int i = 0; i < n; i++)
        if (std::memcmp(rebuilt + 20 * i, b->start + 20 * i, 17) != 0) return 1;
    Buf* out = XspecNewBuf(env->pBufData, MSG_XDATA, client->clientId, msg, static_cast<size_t>(len));
    if (!out) return 1;
    std::memcpy(st->templates, trial.templates, sizeof st->templates);
    std::memcpy(st->lastText, trial.lastText, sizeof st->lastText);
    st->lastTextValid = 1;
    XspecInSkip(env->pBufData, client->reqList, static_cast<size_t>(20 * n));
    lstAdd(client->encList, out);
    return 0;
}

int XspecTextSendTemplates(XspecEnv* env, ClientRec* client) {
    if (XspecTextEncode(env, client, 1) || XspecTextEncode(env, client, 2)) return 1;
    return XspecTextEncode(env, client, 3);
}

int GoOn(ClientRec* client) { return lstFirst(client->reqList) ? 0 : -1; }

}  // namespace

int XspecMergeNext(XspecEnv* env, Lst* queue) {
    Buf* b = lstFirstT<Buf>(queue);
    Buf* n = b ? b->next : nullptr;
    if (!n || b->Len() + n->Len() > 256) return 0;
    if (n->Len() > b->Room()) {
        std::memmove(b->data, b->start, b->Len());
        b->end = b->data + b->Len();
        b->start = b->data;
    }
    const int moved = static_cast<int>(n->Len());
    std::memcpy(b->end, n->start, n->Len());
    b->end += moved;
    lstDelete(queue, n);
    BufFree(env->pBufData, n);
    return moved;
}

int XspecTextStep(XspecEnv* env, ClientRec* client) {
    XspecState* st = client->xspec;
    const bool little = XspecLittle(client);
    Lst* q = client->reqList;
    if (st->textHolding) {
        st->textHolding = 0;
        if (XspecMergeNext(env, q) == 0) {
            int fail;
            if (XspecTextCheckRun(lstFirstT<Buf>(q), false, little) == 0) {
                st->runKnown = 1;
                if (st->templatesSent) {
                    fail = XspecTextEncodeRun(env, client, false) && XspecTextEncode(env, client, 0);
                } else {
                    fail = XspecTextEncode(env, client, 1);
                    if (!fail) fail = XspecTextEncode(env, client, 3);
                    if (!fail) st->templatesSent = 1;
                }
            } else {
                fail = XspecTextEncode(env, client, 0);
            }
            if (fail) return XSPEC_HOLD_USEC;
            return GoOn(client);
        }
    }
    for (;;) {
        int cls = XspecTextClassify(st, lstFirstT<Buf>(q), little);
        if (cls == TEXT_NEED_MORE) {
            if (XspecMergeNext(env, q) > 0) continue;  // more is queued already: look again
            st->textHolding = 1;
            return XSPEC_HOLD_USEC;
        }
        if (cls == TEXT_NO_RUN) {
            if (XspecTextEncode(env, client, 0)) return XSPEC_HOLD_USEC;
        } else if (!st->templatesSent) {
            st->thirdSeen = 0;
            if (XspecTextSendTemplates(env, client) && XspecTextEncode(env, client, 0)) return XSPEC_HOLD_USEC;
            st->templatesSent = 1;
        } else {
            if (XspecTextEncodeRun(env, client, true) && XspecTextEncode(env, client, 0)) return XSPEC_HOLD_USEC;
            st->thirdSeen = 0;
        }
        return GoOn(client);
    }
}
