// The user's X session: the session script (or a default command) run as a child in its own
// process group with DISPLAY pointing at the relay, and stopped with it.
#pragma once

constexpr int RSS_MAX_SESSION_WORDS = 17;
constexpr int RSS_SESSION_STOP_TRIES = 4;
constexpr int RSS_SESSION_STOP_WAIT = 10;  // seconds per try

int StartSession();
void StopSession();
void StartSessionIgnoreProc(int sig);
void StopSessionAlarmProc(int sig);
// Splits a default session command into at most RSS_MAX_SESSION_WORDS words in place; argv needs
// room for that many plus the terminating null. Returns the word count (words beyond the limit are
// dropped with a message).
int RssSplitSessionCommand(char* command, char** argv);
