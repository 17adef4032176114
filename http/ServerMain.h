// The program shell: signals, banner, server defaults, configuration,
// command line, start-up script, then kill mode, sort mode or serving.
#pragma once
#include <string>

#include "SortMode.h"

// Settings of one run that are not fields of the server record.
struct ServerOptions {
    bool killMode = false;  // "-k": free the port and exit
    SortSettings sort;      // the sort options
};

// The whole life of the process; its exit status.
int server_main(int argc, char** argv);
// Reads the command line into httpServer, the process-wide switches and
// options. "-h" prints the help and ends the process with status 1.
void parse_command_line(int argc, char** argv, ServerOptions& options);
// The help text for the current settings.
std::string help_text(const ServerOptions& options);
// SIGINT and SIGTERM: prints the caught-signal line and asks the loop to stop.
void signal_handler(int signal);
// Marks each descriptor above standard error close-on-exec, one at a
// time: start-up's way on kernels whose close_range lacks that flag.
void mark_inherited_on_exec_one_by_one();
// Tears down the process-wide singletons of the other subsystems.
void exit_cleanup();
