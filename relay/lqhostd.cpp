#include "relay/core/rss.h"

int main(int argc, char** argv) { return RssMain(argc, argv); }
