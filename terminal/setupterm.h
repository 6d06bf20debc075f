// lqterm's side of set-up differences (LINKEXT_SETUPDIFF, relay/xspec/setupdiff.h): the base is the
// last set-up reply of status Success sent to the relay. It is kept on disk
// (SetupCacheDir("lqterm")/"setup-reply") and offered by hash at the start of the link; the relay's
// answer says whether it holds the same one.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/link/linkext.h"

struct TermData;

// At start: the base of an earlier session, when the cache holds a sound one (else said in the
// log). Returns the parameters to offer.
LinkExtParams TermSetupLoad(TermData* t);
// The relay's answer: differences are sent only when it accepted them, against the offered base
// only when it holds it too.
void TermSetupAgreed(TermData* t, uint32_t accepted, const LinkExtParams& answer);
// A whole set-up reply for the relay. Writes the difference to out (SETUP_DIFF_MAX bytes) and
// returns its length, or 0 when the reply is to cross as it is. Either way a Success reply becomes
// the base at both ends, as the relay takes it in link order.
size_t TermSetupReply(TermData* t, const uint8_t* reply, size_t size, uint8_t* out);
