// Start-up, configuration and the relay's state.
//
// Everything one relay holds lives in one RssData record: RssInitData makes a fresh one (tests make
// one per case), RssFreeData releases it with the configuration strings it owns. The modules reach
// its parts through pRssGlobalData, pRssDaemonData and pRssDispData, which point into the record and
// are null without one. (The saved line settings of relay/core/tty.h are the process's, not the
// relay's: they are put back at exit whatever state the relay is in.)
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/disp.h"
#include "relay/core/lst.h"
#include "relay/core/setupreply.h"
#include "relay/link/link.h"
#include "relay/xspec/xspec.h"

constexpr int RSS_PATH_MAX = 128;

struct RssGlobalData {
    int ttyFd;
    struct {
        int sec;
        int usec;
    } selectTimeout;
    char* displayName;  // the display the clients are given (the link carries it in MSG_START)
    volatile uint8_t running;
    void* xspecCache;
    int focusClient;
};

struct RssDaemonData {
    int unixSock;
    int tcpSock;
    char* configFile;
    int listenPort;
    int display;
    char* defaultSession;
    char* sessionScriptName;
    int sessionPid;
    int loopback;
    Lst* ttyInList;
    Lst* ttyOutList;
    char* escapeChars;
    char* xTransportProtocols;
    char* tmpDir;
    uint8_t useLocal;
    uint8_t useTcpip;
    uint8_t displayHost;  // 1 = by host name, 2 = as "unix"
    char unixPath[RSS_PATH_MAX];
    char lockPath[RSS_PATH_MAX];  // "/tmp/.X<n>-lock" while we hold it, else empty
    char logPath[RSS_PATH_MAX];
    // Resource database and the argument vector it was built from.
    void* rssDb;
    int rssArgc;
    char** rssArgv;
    char defaultConfigPath[RSS_PATH_MAX + 64];
    // The host end's buffer pool, its end of the line, its X encoding context, and the storage
    // of the link lists. The link holds the line's configuration (escape characters, flags,
    // timeout, our version: loaded into rssLink.config from the resources) and the terminal's
    // announced version (rssLink.peer: 0 until its MSG_XREADY arrives).
    BufData bufData;
    LinkEnd rssLink;
    XspecEnv rssXspecEnv;
    XspecMsgCache rssXspecCache;
    Lst ttyInQueue;
    Lst ttyOutQueue;
    // Files opened for the terminal: records of the current form, the one file of the old form.
    Lst RssFileList;
    int HostFd;
    // Who may use the display, and what the terminal agreed to beyond the base protocol.
    int checkAuthorization;  // clients must bring the display's cookie (resource, default on)
    int tcpAllInterfaces;    // TCP listens on every interface, not only the loopback address
    int extensions;          // extensions offered by the terminal may be accepted (-noext: off)
    uint32_t extAccepted;    // LINKEXT_... bits agreed with the terminal
    uint8_t cookie[16];      // the display's MIT-MAGIC-COOKIE-1 (relay/core/auth.h)
    uint8_t cookieMade;      // cookie holds one (until then every set-up is refused)
    uint8_t cookieAdded;     // authFile holds entries for it
    int cookieDisplay;
    char authFile[2 * RSS_PATH_MAX + 64];
    // Set-up differences (relay/core/setupreply.h): the base, the replies on their way by link
    // client id, and what the differences saved.
    uint8_t* setupBase;
    uint32_t setupBaseLen;
    RssSetupAcc setupAcc[64];
    uint32_t setupRebuilt;
    uint64_t setupBytesSaved;
    // The message store (relay/core/storerelay.h); null until a terminal offers it.
    struct RssStore* store;
    // Answers made at the relay (relay/core/answerrelay.h); null until a client needs them.
    struct RssAnswerData* answers;
};

struct RssData {
    RssGlobalData global;
    RssDaemonData daemon;
    RssDispData disp;
};

extern RssData* pRssData;
extern RssGlobalData* pRssGlobalData;  // &pRssData->global
extern RssDaemonData* pRssDaemonData;  // &pRssData->daemon

// Makes a fresh, zeroed record (sockets -1, empty descriptor tables, the link at its defaults) and
// points the module pointers into it.
// 0, or -1 (out of memory, said on standard error).
int RssInitData();
// Frees the record made by RssInitData and the configuration strings it holds.
void RssFreeData();

enum { RSS_RES_STRING = 0, RSS_RES_INT = 1, RSS_RES_BOOL = 2 };

// Build the resource database from the command line and the resource file. 0, or -1 after the
// message and the usage text for an unrecognised argument (or after "out of memory").
int InitResources(int argc, char** argv);
int ReinitResources();
void LoadRssResources();
void GetRssResource(const char* name, const char* cls, int type, void* dst, const char* dflt);
// Prints the usage text on standard error.
void Usage();
void RssPanic(const char* msg);
// Ends the relay with the given status (0 for an orderly end, 1 for a start that failed). Returns
// only to a nested call made while the ending is under way.
void CleanupAndExit(int status);
// Reads xTransportProtocols. 0, or -1 after the message for an unknown word or an empty list.
int ParseXports();
// Reads escapeChars into the link's configuration, saying what it refuses on standard error.
void ParseEscChars();
// One escape character (LinkEscValue); says so on standard error when the word is of neither form.
int base_atoi(const char* word, uint8_t* dst);
int GetTtyPort();
int InitProtocol();
// Everything of InitProtocol after the line is open: configures the host end of the link on fd
// and queues the start message. 0 or -1.
int RssStartLink(int fd);
// Stores a transport call's result as the loop's interval; ends the loop when the link gave up.
void RssTransResult(uint32_t interval);
uint8_t RssGetOurEndianness();
// True when the terminal's announced version is lower than version.level (0.0 until it is known).
bool RssEarlierVersion(int version, int level);

// The whole relay: what lqhostd's main runs.
int RssMain(int argc, char** argv);
