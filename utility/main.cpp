// ugw: the administrator's command-line tool.
#include "utility/ugw_main.h"

int main(int argc, char **argv)
{
    return ugw_main(argc, argv);
}
