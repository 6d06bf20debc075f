// Read-only access to host files for the terminal, in the current form (file ids, several files)
// and the old single-file form of terminals earlier than 1.1.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"

constexpr int RSS_FILE_PIECE = 126;      // data bytes per piece, current form
constexpr int RSS_FILE_READ_AHEAD = 5;   // pieces sent at once after the first
constexpr int RSS_OLD_FIRST_PIECE = 124;
constexpr int RSS_OLD_PIECE = 128;

struct FileRec {
    FileRec* next;
    FileRec* prev;
    uint8_t fileId;
    int fd;
};

void ProcessFileOpen(Buf* msg);
int ProcessFileData(Buf* msg);
void ProcessFileClose(Buf* msg);
void oldProcessFileOpen(Buf* msg);
void oldProcessFileData(Buf* msg);
FileRec* rssAddFileRec(uint8_t fileId, int fd);
FileRec* rssGetFileRec(uint8_t fileId);
void rssCloseFileRec(FileRec* rec);
void rssCloseAllFileRecs();
int rssCountFileRecs();
// Opens a host file for the terminal: read-only, and only a plain file (a directory or a device
// would hang or fail the transfer). The descriptor, or -1 with errno set.
int RssOpenHostFile(const char* path);
