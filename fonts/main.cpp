#include "fonts/fontconv.h"

int main(int argc, char** argv)
{
    return fontconv_main(argc, argv);
}
