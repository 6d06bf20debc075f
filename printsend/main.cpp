#include "printsend/data_qz.h"

int main(int argc, char** argv)
{
    static QzData qz;
    qz_init(&qz, argv[0]);
    data_qz_main(&qz, argc, argv);
}
