// Command lines of any shape: a clear verdict, and a printer name whenever the run may go on.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "printsend/data_qz.h"

static int no_open(const char* path, int)
{
    return path[0] == 0 ? -1 : 5;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* log = fopen("/dev/null", "w");
    std::vector<std::string> words(1, "data_qz");
    std::string word;
    for (size_t i = 0; i < size && words.size() < 32; i++) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += (char)data[i];
        }
    }
    if (!word.empty())
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    QzData qz;
    qz_init(&qz, "data_qz");
    qz.open_file = no_open;
    int r = parse_args(&qz, (int)words.size(), argv.data(), log);
    if (r != 0 && r != -1 && r != -2)
        abort();
    if (r == 0 && !qz.printername)
        abort();
    return 0;
}
