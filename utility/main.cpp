// ugw: the administrator's command-line tool.
#include <cstdio>

int main()
{
    fputs("ugw: not yet available\n", stderr);
    return 1;
}
