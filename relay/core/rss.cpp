#include "relay/core/rss.h"

#include "relay/core/storerelay.h"

#include <X11/Xlib.h>
#include <X11/Xmu/CharSet.h>
#include <X11/Xresource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "relay/core/answerrelay.h"
#include "relay/core/disp.h"
#include "relay/core/log.h"
#include "relay/core/tty.h"

RssData* pRssData = nullptr;
RssGlobalData* pRssGlobalData = nullptr;
RssDaemonData* pRssDaemonData = nullptr;

int RssInitData() {
    RssFreeData();
    pRssData = static_cast<RssData*>(std::calloc(1, sizeof(RssData)));
    if (!pRssData) {
        std::fprintf(stderr, "out of memory!\n");
        return -1;
    }
    pRssGlobalData = &pRssData->global;
    pRssDaemonData = &pRssData->daemon;
    pRssDispData = &pRssData->disp;
    RssInitDispData();
    pRssGlobalData->ttyFd = -1;
    pRssGlobalData->selectTimeout.usec = 100000;
    RssDaemonData* d = pRssDaemonData;
    // The link's configuration is where the resources are loaded; RssStartLink starts it.
    LinkSetDefaults(&d->rssLink, LINK_HOST, &d->bufData, Clock{});
    d->unixSock = -1;
    d->tcpSock = -1;
    d->HostFd = -1;
    d->ttyInList = lstInit(&d->ttyInQueue);
    d->ttyOutList = lstInit(&d->ttyOutQueue);
    lstInit(&d->RssFileList);
    lstInit(&d->bufData.bufPool);
    lstInit(&d->bufData.bufClientBufs);
    XspecEnv* env = &d->rssXspecEnv;
    env->pBufData = &d->bufData;
    env->xspecCache = &d->rssXspecCache;
    env->clock = nullptr;
    env->hostByteOrder = 'B';
    env->pRemoteVersion = &d->rssLink.peer.version;
    env->pRemoteLevel = &d->rssLink.peer.level;
    env->pFocusClient = &pRssGlobalData->focusClient;
    pRssGlobalData->xspecCache = &d->rssXspecCache;
    return 0;
}

void RssFreeData() {
    if (!pRssData) return;
    RssDaemonData* d = pRssDaemonData;
    for (char* s : {d->configFile, d->defaultSession, d->sessionScriptName, d->escapeChars,
                    d->xTransportProtocols, d->tmpDir})
        std::free(s);
    if (d->rssDb) XrmDestroyDatabase(static_cast<XrmDatabase>(d->rssDb));
    LinkDestroy(&d->rssLink);
    BufListFree(&d->bufData, d->ttyInList);
    BufListFree(&d->bufData, d->ttyOutList);
    if (d->bufData.permanent[0]) BufDestroy(&d->bufData);
    RssSetupFree();
    RssStoreFree();
    RssAnswerFree();
    std::free(pRssGlobalData->displayName);
    pRssGlobalData = nullptr;
    pRssDaemonData = nullptr;
    pRssDispData = nullptr;
    std::free(pRssData);
    pRssData = nullptr;
}

void RssPanic(const char* msg) { std::fprintf(stderr, "LQx panic: %s\n", msg); }

uint8_t RssGetOurEndianness() { return 'B'; }

bool RssEarlierVersion(int version, int level) {
    const LinkVersion* peer = &pRssDaemonData->rssLink.peer;
    return EarlierVersion(peer->version, peer->level, version, level);
}

// ---- resources ----

namespace {

struct RssResource {
    const char* name;
    const char* cls;
    int type;
    int kind;  // which member: index into RssResourceMember
    const char* dflt;
};

enum {
    R_FLAGS, R_TIMEOUT, R_LOOPBACK, R_ESCAPE, R_XPORTS, R_CONFIG, R_TMPDIR, R_PORT, R_DISPLAY, R_SESSION, R_SCRIPT,
    R_CHECKAUTH, R_TCPALL, R_EXTENSIONS
};

const RssResource RssResources[14] = {
    {"flags", "Flags", RSS_RES_INT, R_FLAGS, "0"},
    {"timeout", "Timeout", RSS_RES_INT, R_TIMEOUT, "30"},
    {"loopback", "Loopback", RSS_RES_INT, R_LOOPBACK, "0"},
    {"escapeChars", "EscapeChars", RSS_RES_STRING, R_ESCAPE, LINK_DEFAULT_ESCAPES},
    {"xTransportProtocols", "XTransportProtocols", RSS_RES_STRING, R_XPORTS, "tcpip local"},
    {"configFile", "ConfigFile", RSS_RES_STRING, R_CONFIG, nullptr},  // default: ~/.lqhostdrc
    {"tmpDir", "TmpDir", RSS_RES_STRING, R_TMPDIR, "/tmp"},
    {"listenPort", "ListenPort", RSS_RES_INT, R_PORT, "6000"},
    {"display", "Display", RSS_RES_INT, R_DISPLAY, "1"},
    {"defaultSession", "DefaultSession", RSS_RES_STRING, R_SESSION, "xterm -geometry +1+1 -n login"},
    {"sessionScriptName", "SessionScriptName", RSS_RES_STRING, R_SCRIPT, ".xsession"},
    {"checkAuthorization", "CheckAuthorization", RSS_RES_BOOL, R_CHECKAUTH, "on"},
    {"tcpAllInterfaces", "TcpAllInterfaces", RSS_RES_BOOL, R_TCPALL, "off"},
    {"extensions", "Extensions", RSS_RES_BOOL, R_EXTENSIONS, "on"},
};

void* RssResourceMember(int kind) {
    RssDaemonData* d = pRssDaemonData;
    switch (kind) {
    case R_FLAGS: return &d->rssLink.config.flags;
    case R_TIMEOUT: return &d->rssLink.config.timeout;
    case R_LOOPBACK: return &d->loopback;
    case R_ESCAPE: return &d->escapeChars;
    case R_XPORTS: return &d->xTransportProtocols;
    case R_CONFIG: return &d->configFile;
    case R_TMPDIR: return &d->tmpDir;
    case R_PORT: return &d->listenPort;
    case R_DISPLAY: return &d->display;
    case R_SESSION: return &d->defaultSession;
    case R_CHECKAUTH: return &d->checkAuthorization;
    case R_TCPALL: return &d->tcpAllInterfaces;
    case R_EXTENSIONS: return &d->extensions;
    default: return &d->sessionScriptName;
    }
}

char* S(const char* s) { return const_cast<char*>(s); }

const char kEscFormMsg[] = "syntax error: expecting \"\\ddd\" (octal) or \"0xdd\" (hex) format\n";

// First pass: only "-config" is taken; the other rows step over the second pass's options (with
// their argument) so that such an argument is never mistaken for "-config".
XrmOptionDescRec configTable[9] = {
    {S("-config"), S(".configFile"), XrmoptionSepArg, nullptr},
    {S("-loopback"), nullptr, XrmoptionSkipNArgs, nullptr},
    {S("-flags"), nullptr, XrmoptionSkipArg, nullptr},
    {S("-timeout"), nullptr, XrmoptionSkipArg, nullptr},
    {S("-udpport"), nullptr, XrmoptionSkipArg, nullptr},
    {S("-echars"), nullptr, XrmoptionSkipArg, nullptr},
    {S("-xtports"), nullptr, XrmoptionSkipArg, nullptr},
    {S("-session"), nullptr, XrmoptionSkipArg, nullptr},
    {S(":"), nullptr, XrmoptionSkipNArgs, nullptr},
};

XrmOptionDescRec optionTable[9] = {
    {S("-flags"), S(".flags"), XrmoptionSepArg, nullptr},
    {S("-timeout"), S(".timeout"), XrmoptionSepArg, nullptr},
    {S("-loopback"), S(".loopback"), XrmoptionNoArg, S("1")},
    {S("-udpport"), S(".listenPort"), XrmoptionSepArg, nullptr},
    {S("-echars"), S(".escapeChars"), XrmoptionSepArg, nullptr},
    {S("-xtports"), S(".xTransportProtocols"), XrmoptionSepArg, nullptr},
    {S("-session"), S(".sessionScriptName"), XrmoptionSepArg, nullptr},
    {S(":"), S(".display"), XrmoptionStickyArg, nullptr},
    {S("-noext"), S(".extensions"), XrmoptionNoArg, S("off")},
};

void RssTrimRight(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) s[--n] = '\0';
}

}  // namespace

int InitResources(int argc, char** argv) {
    XrmInitialize();
    pRssDaemonData->rssArgc = argc;
    pRssDaemonData->rssArgv = argv;  // the caller's vector; ReinitResources works on a copy
    return ReinitResources();
}

int ReinitResources() {
    RssDaemonData* d = pRssDaemonData;
    const char* home = std::getenv("HOME");
    if (home)
        std::snprintf(d->defaultConfigPath, sizeof d->defaultConfigPath, "%s/.lqhostdrc", home);
    else
        d->defaultConfigPath[0] = '\0';

    int argc = d->rssArgc;
    char** argv = static_cast<char**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
    if (!argv) {
        RssPanic("out of memory!");
        return -1;
    }
    for (int i = 0; i < argc; i++) argv[i] = d->rssArgv[i];

    if (d->rssDb) XrmDestroyDatabase(static_cast<XrmDatabase>(d->rssDb));
    XrmDatabase db = XrmGetStringDatabase("");

    int before = argc;
    XrmParseCommand(&db, configTable, 9, "HostServer", &argc, argv);
    bool configGiven = argc != before;
    d->rssDb = db;
    GetRssResource("HostServer.configFile", "HostServer.ConfigFile", RSS_RES_STRING, &d->configFile,
                   d->defaultConfigPath);

    XrmDatabase fileDb = d->configFile ? XrmGetFileDatabase(d->configFile) : nullptr;
    if (fileDb) {
        XrmDestroyDatabase(db);
        db = fileDb;
    } else if (configGiven) {
        std::fprintf(stderr, "Can't open configuration file %s\n", d->configFile ? d->configFile : "");
    }

    XrmParseCommand(&db, optionTable, 9, "HostServer", &argc, argv);
    d->rssDb = db;
    if (argc > 1) {
        std::fprintf(stderr, "unrecognized command line parameter:");
        for (int i = 1; i < argc; i++) std::fprintf(stderr, " \"%s\"", argv[i]);
        std::fprintf(stderr, "\n");
        std::free(argv);
        Usage();
        return -1;
    }
    std::free(argv);
    return 0;
}

void LoadRssResources() {
    for (const RssResource& r : RssResources) {
        char name[64], cls[64];
        std::snprintf(name, sizeof name, "HostServer.%s", r.name);
        std::snprintf(cls, sizeof cls, "HostServer.%s", r.cls);
        void* dst = RssResourceMember(r.kind);
        // A value that is neither on nor off leaves a switch as it is: at its default, so that a
        // typing error cannot turn a check off.
        if (r.type == RSS_RES_BOOL) *static_cast<int*>(dst) = std::strcmp(r.dflt, "on") == 0;
        GetRssResource(name, cls, r.type, dst, r.dflt ? r.dflt : pRssDaemonData->defaultConfigPath);
    }
}

void GetRssResource(const char* name, const char* cls, int type, void* dst, const char* dflt) {
    if (type == RSS_RES_STRING && *static_cast<char**>(dst)) return;  // already set: keep it
    const char* value = dflt ? dflt : "";
    char* rtype = nullptr;
    XrmValue v;
    if (pRssDaemonData->rssDb &&
        XrmGetResource(static_cast<XrmDatabase>(pRssDaemonData->rssDb), name, cls, &rtype, &v) && v.addr)
        value = v.addr;

    if (type == RSS_RES_STRING) {
        char* copy = strdup(value);
        if (!copy) {
            std::fprintf(stderr, "out of memory!\n");
            return;
        }
        RssTrimRight(copy);
        *static_cast<char**>(dst) = copy;
        return;
    }
    char text[50];
    StringNCopy(text, value, sizeof text);
    if (type == RSS_RES_INT) {
        *static_cast<int*>(dst) = std::atoi(text);
        return;
    }
    char lower[50];
    XmuCopyISOLatin1Lowered(lower, text);
    RssTrimRight(lower);
    if (!std::strcmp(lower, "true") || !std::strcmp(lower, "on") || !std::strcmp(lower, "yes"))
        *static_cast<int*>(dst) = 1;
    else if (!std::strcmp(lower, "false") || !std::strcmp(lower, "off") || !std::strcmp(lower, "no"))
        *static_cast<int*>(dst) = 0;
}

void Usage() {
    static const char* const text[] = {
        "\nUsage: lqhostd [-options...]\n\n",
        "Where options include:\n",
        " -config <filename>     sets configuration file name\n",
        " -loopback              perform serial line test\n",
        " -echars \"0xdd ...\"     set characters to be escaped\n",
        " -session <filename>    sets session script name\n",
        " -timeout <seconds>     sets protocol timeout value\n",
        " :n                     sets display number\n",
        "\n",
    };
    for (const char* line : text) std::fputs(line, stderr);
    std::fflush(stderr);
}

// ---- words and character values ----

int base_atoi(const char* word, uint8_t* dst) {
    int r = LinkEscValue(word, dst);
    if (r == LINK_ESC_FORM) std::fputs(kEscFormMsg, stderr);
    return r == 0 ? 0 : -1;
}

void ParseEscChars() {
    LinkConfig* cfg = &pRssDaemonData->rssLink.config;
    cfg->escCount = 0;
    char* copy = strdup(pRssDaemonData->escapeChars ? pRssDaemonData->escapeChars : "");
    if (!copy) {
        std::fprintf(stderr, "out of memory!\n");
        return;
    }
    char* cursor = copy;
    char* word;
    for (int r; (r = LinkParseEscWords(cfg, &cursor, &word)) != LINK_ESC_END;) {
        if (r == LINK_ESC_FULL) {
            std::fprintf(stderr, "too many escape characters (max=%d)\n", MAX_ESC_CHARS);
            break;
        }
        // A refused word is left out; the rest of the list still counts.
        if (r == LINK_ESC_FORM) std::fputs(kEscFormMsg, stderr);
        std::fprintf(stderr, "cannot parse escape character %s\n", word);
    }
    std::free(copy);
}

int ParseXports() {
    RssDaemonData* d = pRssDaemonData;
    d->useLocal = d->useTcpip = d->displayHost = 0;
    char* copy = strdup(d->xTransportProtocols ? d->xTransportProtocols : "");
    if (!copy) {
        std::fprintf(stderr, "out of memory!\n");
        return -1;
    }
    char* cursor = copy;
    int words = 0;
    while (char* word = NextWord(&cursor)) {
        words++;
        if (!std::strcmp(word, "local")) {
            d->useLocal = 1;
            d->displayHost = 2;
        } else if (!std::strcmp(word, "tcpip")) {
            d->useTcpip = 1;
            d->displayHost = 1;
        } else {
            std::fprintf(stderr, "Invalid transport protocol \"%s\"\n", word);
            std::free(copy);
            return -1;
        }
    }
    std::free(copy);
    if (words == 0) {
        std::fprintf(stderr, "please specify at least one of the following\n");
        std::fprintf(stderr, "transport protocols: \"local tcpip or decnet\"\n");
        return -1;
    }
    return 0;
}

// ---- the line ----

int GetTtyPort() {
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd == -1) {
        perror("tty open");
        RssPanic("can't open tty port");
        return -1;
    }
    pRssGlobalData->ttyFd = fd;
    RssCountFd(fd);
    TtySave(fd);
    TtyConfigForRss(fd);
    FD_SET(fd, &pRssDispData->readMask);
    return fd;
}
