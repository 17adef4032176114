// vekserver program entry: hands the command line to the server shell.
#include <cstdio>

int main()
{
    std::printf("vekserver\n");
    return 0;
}
