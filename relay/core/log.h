// The relay's log file. While the relay runs, its controlling terminal carries the link, so standard
// error (and the session's output) goes to "<tmpDir>/lqx_log.<display suffix>" until exit.
#pragma once
#include <cstddef>

int InitLogfile();
void CloseLogfile();
// Copies at most n - 1 characters and always terminates the destination (when n > 0).
void StringNCopy(char* dst, const char* src, size_t n);
