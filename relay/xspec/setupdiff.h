// Set-up replies as differences. Every client of one X server gets nearly the same connection
// set-up reply (often about 10 KB, most of it the list of screens and visuals); only the
// resource-id base changes. Both ends remember the last reply that crossed the link (and keep it on
// disk between sessions), so that a later one can cross as the few bytes where it differs.
//
// A difference is one message of at most SETUP_DIFF_MAX bytes:
//   [0]     SETUP_DIFF_MARK (a set-up reply starts with its status, 0, 1 or 2)
//   [1..4]  length of the reply, most significant byte first
//   [5..8]  SetupHash of the reply (low 32 bits), most significant byte first
//   [9..]   patches, each: a count of bytes kept from the base (LEB128), n (1 byte, 1-255),
//           then n bytes that replace as many bytes of the base at that place
// The reply is the base, patched in order, cut or lengthened to its length; bytes beyond the base
// can only come from patches. A difference whose rebuilt reply does not match its length and hash
// is refused: nothing wrong reaches a client.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t SETUP_DIFF_MARK = 0xd1;
constexpr size_t SETUP_DIFF_HDR = 9;
constexpr size_t SETUP_DIFF_MAX = 240;        // fits one link message with room to spare
constexpr size_t SETUP_REPLY_MAX = 1u << 20;  // larger replies are not remembered

// 64-bit FNV-1a of the bytes; names a reply in the cache and checks a rebuilt one.
uint64_t SetupHash(const uint8_t* p, size_t n);

// Writes the difference of reply against base (baseLen bytes) to out (room for SETUP_DIFF_MAX bytes) and returns
// its length, or 0 when it would not be worth it (no base, longer than SETUP_DIFF_MAX, or not
// shorter than half the reply): the reply then crosses as it is.
size_t SetupDiffMake(const uint8_t* base, size_t baseLen, const uint8_t* reply, size_t len, uint8_t* out);

// Rebuilds the reply of the difference d (n bytes) against base (baseLen bytes) into out. 0, or -1 with why set
// when the difference is malformed or its result does not match its length and hash.
int SetupDiffApply(const uint8_t* base, size_t baseLen, const uint8_t* d, size_t n, std::vector<uint8_t>* out,
                   std::string* why);

// ---- the cache on disk ----
// The directory of one program's cache: $XDG_CACHE_HOME/<prog>, else $HOME/.cache/<prog>; empty
// when neither is set.
std::string SetupCacheDir(const char* prog);
// The file that holds the reply with this hash in dir.
std::string SetupCachePath(const std::string& dir, uint64_t hash);
// Reads a reply written by SetupCacheSave. 0, or -1 with why set (missing, damaged, too large).
int SetupCacheLoad(const std::string& path, std::vector<uint8_t>* reply, std::string* why);
// Writes the len bytes at p to path whole or not at all (a temporary file renamed into place),
// making dir first. 0, or -1 with why set. Every cache file of both ends is written so.
int CacheFileReplace(const std::string& dir, const std::string& path, const uint8_t* p, size_t len,
                     std::string* why);
// Writes the reply to path whole or not at all (a temporary file renamed into place), making dir
// first. 0, or -1 with why set.
int SetupCacheSave(const std::string& dir, const std::string& path, const uint8_t* reply, size_t len,
                   std::string* why);
