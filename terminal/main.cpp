#include "terminal/lqterm.h"

int main(int argc, char** argv) { return TermMain(argc, argv); }
