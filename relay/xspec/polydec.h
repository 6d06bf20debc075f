// Terminal end of the Poly encodings: rebuilds the exact X request bytes (in the client's byte
// order) from the compact and verbatim forms described in poly.h, keeping the mirror copies of the
// move-to-front caches, the reference element and lastPolyHeader in the client's XspecState by the
// same rules as the host's encoder.
#pragma once
#include "relay/xspec/poly.h"

// The bytes at the head of the queue are no Poly form, or a Poly form breaks off before a
// MSG_XCACHED message: the client's stream cannot be decoded further.
constexpr int XSPEC_POLY_BAD = -2;

// Decodes the Poly request at the head of inList (a request boundary of the client's stream, or
// the rest of the request a previous call left unfinished) and appends its X bytes to outList in
// MSG_XDATA Bufs of the client's id. Consumes exactly the request's bytes and only whole records.
// 0: the request is complete (what follows it stays queued). -1: more input or a buffer is needed;
// call again, before anything else of this client, when more has arrived. XSPEC_POLY_BAD: see
// above; the decoding state is reset and nothing of the bad record is consumed.
int XspecPolyDecode(XspecEnv* env, ClientRec* client, Lst* inList, Lst* outList);

// True while a Poly request of this client is partly decoded.
bool XspecPolyDecoding(const XspecState* state);
