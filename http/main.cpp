// vekserver program entry: hands the command line to the server shell.
#include "ServerMain.h"

int main(int argc, char** argv)
{
    return server_main(argc, argv);
}
