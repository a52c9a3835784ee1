#include <cstdio>

int main()
{
    fputs("dorvane: not built yet\n", stderr);
    return 1;
}
