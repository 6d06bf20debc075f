#include "relay/core/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/rss.h"

namespace {

BufData* Pool() { return &pRssDaemonData->bufData; }

void RssSend(Buf* b) {
    lstAdd(pRssDaemonData->ttyOutList, b);
    RssTransResult(TransWrite(&pRssDaemonData->rssLink, pRssDaemonData->ttyOutList));
}

// Copies the zero-terminated path that starts at from into path, never reading past the message.
void RssTakePath(const Buf* msg, const uint8_t* from, char* path, size_t size) {
    size_t i = 0;
    for (; from + i < msg->end && i + 1 < size && from[i]; i++) path[i] = static_cast<char>(from[i]);
    path[i] = '\0';
}

ssize_t RssReadPiece(int fd, uint8_t* dst, int n) {
    ssize_t k = read(fd, dst, static_cast<size_t>(n));
    return k;
}

void RssMakeClose(Buf* b, uint8_t id) {
    b->type = MSG_FILECLOSE;
    b->clientId = 0;
    b->start = b->data;
    b->end = b->start;
    *b->end++ = id;
    *b->end++ = 'C';
}

}  // namespace

int RssOpenHostFile(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat st {};
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        close(fd);
        errno = e;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

FileRec* rssAddFileRec(uint8_t fileId, int fd) {
    FileRec* r = static_cast<FileRec*>(std::calloc(1, sizeof(FileRec)));
    if (!r) return nullptr;
    r->fileId = fileId;
    r->fd = fd;
    lstInsert(&pRssDaemonData->RssFileList, nullptr, r);
    return r;
}

FileRec* rssGetFileRec(uint8_t fileId) {
    for (FileRec* r = lstFirstT<FileRec>(&pRssDaemonData->RssFileList); r; r = r->next)
        if (r->fileId == fileId) return r;
    return nullptr;
}

void rssCloseFileRec(FileRec* rec) {
    Lst* list = &pRssDaemonData->RssFileList;
    if (!rec || lstFind(list, rec) < 0) return;
    lstDelete(list, rec);
    bool shared = false;
    for (FileRec* r = lstFirstT<FileRec>(list); r; r = r->next) shared = shared || r->fd == rec->fd;
    if (!shared) close(rec->fd);
    std::free(rec);
}

void rssCloseAllFileRecs() {
    while (FileRec* r = lstFirstT<FileRec>(&pRssDaemonData->RssFileList)) rssCloseFileRec(r);
}

int rssCountFileRecs() { return lstCount(&pRssDaemonData->RssFileList); }

void ProcessFileOpen(Buf* msg) {
    if (RssEarlierVersion(1, 1)) {
        oldProcessFileOpen(msg);
        return;
    }
    if (msg->Len() < 2 || msg->start[0] == 0 || msg->start[1] != 'O') {
        std::fprintf(stderr, "Error during FILEOPEN request!!\n");
        BufFree(Pool(), msg);
        return;
    }
    uint8_t id = msg->start[0];
    char path[BUF_DATA_SIZE + 1];
    RssTakePath(msg, msg->start + 2, path, sizeof path);

    // The reply is built at the front of the data area, which has room for id, status and piece.
    msg->start = msg->data;
    msg->start[0] = id;
    msg->end = msg->start + 2;
    ssize_t got = 0;
    int fd = RssOpenHostFile(path);
    if (fd != -1 && rssAddFileRec(id, fd)) {
        msg->start[1] = 'F';
        got = RssReadPiece(fd, msg->end, RSS_FILE_PIECE);
        if (got < 0) got = 0;
        msg->end += got;
    } else {
        if (fd != -1) close(fd);
        msg->start[1] = 'N';
    }
    msg->type = MSG_FILEDATA;
    uint8_t clientId = msg->clientId;
    RssSend(msg);
    if (got <= 0) return;
    for (int i = 0; i < RSS_FILE_READ_AHEAD; i++) {
        Buf* b = BufGet(Pool());
        if (!b) break;
        b->type = MSG_FILEDATA;
        b->clientId = clientId;
        *b->end++ = id;
        *b->end++ = 'D';
        if (ProcessFileData(b) < 0) break;
    }
}

int ProcessFileData(Buf* msg) {
    if (RssEarlierVersion(1, 1)) {
        oldProcessFileData(msg);
        return 0;
    }
    if (msg->Len() < 2) {
        BufFree(Pool(), msg);
        return -1;
    }
    uint8_t id = msg->start[0];
    uint8_t op = msg->start[1];
    FileRec* r = rssGetFileRec(id);
    if (!r) {
        if (op == 'C') {
            BufFree(Pool(), msg);
        } else {
            RssMakeClose(msg, id);
            RssSend(msg);
        }
        return -1;
    }
    if (op == 'C') {
        rssCloseFileRec(r);
        BufFree(Pool(), msg);
        return -1;
    }
    if (op != 'D') {
        RssSend(msg);
        return 0;
    }
    msg->start = msg->data;
    msg->end = msg->start + 2;
    msg->start[0] = id;
    msg->start[1] = 'D';
    ssize_t got = RssReadPiece(r->fd, msg->end, RSS_FILE_PIECE);
    if (got > 0) {
        msg->end += got;
        msg->type = MSG_FILEDATA;
        RssSend(msg);
        return static_cast<int>(got);
    }
    rssCloseFileRec(r);
    RssMakeClose(msg, id);
    RssSend(msg);
    return got == 0 ? 0 : -1;
}

void ProcessFileClose(Buf* msg) {
    RssDaemonData* d = pRssDaemonData;
    if (RssEarlierVersion(1, 1)) {
        if (d->HostFd != -1) close(d->HostFd);
        d->HostFd = -1;
    } else if (msg->Len() >= 2 && msg->start[1] == 'C') {
        if (FileRec* r = rssGetFileRec(msg->start[0])) rssCloseFileRec(r);
    }
    BufFree(Pool(), msg);
}

void oldProcessFileOpen(Buf* msg) {
    RssDaemonData* d = pRssDaemonData;
    char path[BUF_DATA_SIZE + 1];
    RssTakePath(msg, msg->start, path, sizeof path);
    if (d->HostFd != -1) close(d->HostFd);  // one file at a time: a new open replaces the old one
    d->HostFd = RssOpenHostFile(path);
    uint32_t status = d->HostFd == -1 ? static_cast<uint32_t>(errno) : 0;

    // The content keeps its place and length when the file cannot be opened; it needs at least
    // the four status bytes.
    if (msg->start + 4 > msg->Limit()) msg->start = msg->data;
    if (msg->Len() < 4) msg->end = msg->start + 4;
    uint8_t* s = msg->start;
    bool big = pRssDaemonData->rssLink.peer.byteOrder == 'B';
    for (int i = 0; i < 4; i++) s[big ? i : 3 - i] = static_cast<uint8_t>(status >> (8 * (3 - i)));
    msg->type = MSG_FILEDATA;
    if (d->HostFd != -1) {
        if (msg->start + 4 + RSS_OLD_FIRST_PIECE > msg->Limit()) {
            msg->start = msg->data;
            for (int i = 0; i < 4; i++) msg->start[i] = s[i];
        }
        msg->end = msg->start + 4;
        ssize_t got = RssReadPiece(d->HostFd, msg->end, RSS_OLD_FIRST_PIECE);
        if (got > 0) msg->end += got;
        RssSend(msg);
        return;
    }
    RssSend(msg);
    if (Buf* b = BufGet(Pool())) {
        b->type = MSG_FILECLOSE;
        b->clientId = 0;
        RssSend(b);
    }
}

void oldProcessFileData(Buf* msg) {
    RssDaemonData* d = pRssDaemonData;
    msg->start = msg->end = msg->data;
    if (d->HostFd != -1) {
        ssize_t got = RssReadPiece(d->HostFd, msg->end, RSS_OLD_PIECE);
        if (got > 0) {
            msg->end += got;
            msg->type = MSG_FILEDATA;
            RssSend(msg);
            return;
        }
        close(d->HostFd);
        d->HostFd = -1;
    }
    msg->type = MSG_FILECLOSE;
    msg->clientId = 0;
    RssSend(msg);
}
