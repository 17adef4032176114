// The program shell: the life of the process from the signal handlers to
// the tear-down of the process-wide singletons.
#include "ServerMain.h"
#include "ServerVersion.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HttpHandlers.h"
#include "HttpListen.h"
#include "HttpResponse.h"
#include "HttpServer.h"
#include "HttpUpload.h"
#include "ServerConfig.h"
#include "SortSignals.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKProcessPool.h"
#include "base/VEKStream.h"
#include "kernel/VEKConnectionPool.h"
#include "kernel/VekConsole.h"
#include "language/TextBudget.h"

namespace {

const char* const BLUE = "\x1b[0;34m";
const char* const GREEN = "\x1b[0;32m";
const char* const YELLOW = "\x1b[0;33m";
const char* const RESET = "\x1b[0m";

void printBanner()
{
    std::printf("\n%s VEKServer%s version %s" VEK_VERSION_TEXT "%s (%s" VEK_APP_TYPE " " VEK_OS_TYPE "%s)\n", BLUE, RESET,
                GREEN, RESET, YELLOW, RESET);
}

void setServerDefaults()
{
    http_server_init(&httpServer);
    httpServer.maxClients = 100;
    httpServer.port = 3333;
    std::snprintf(httpServer.documentRoot, sizeof httpServer.documentRoot, "%s", "www");
    httpServer.handlers = httpEmptyHandlerTable;
    httpServer.optionFlags = 0;
    httpServer.idleTimeout = 15;
    httpServer.uploadCallback = http_upload_data;
    httpServer.scriptSteps = 30;
}

void printListeningLine()
{
    std::printf("%s\n Listening on address: %s%s%s and port: %s%d%s", RESET, YELLOW, local_ipv4_text().c_str(),
                RESET, YELLOW, httpServer.port, RESET);
    std::puts(" ...\n");
    std::fflush(stdout);
}

// Why the server could not start, on the line after the failure's.
void printStartFailure()
{
    if (httpServer.maxClients <= 0)
        std::printf("vekserver: no client slots (-c %d): at least 1 is needed\n", httpServer.maxClients);
    else
        std::printf("vekserver: cannot listen on port %d: %s\n", httpServer.port, std::strerror(http_listen_error()));
}

int runKillMode()
{
    http_server_stop(&httpServer);
    char command[1024] = {0};
    std::snprintf(command, sizeof command, "fuser -k %d/tcp", httpServer.port);
    int status = std::system(command);
    // system() gives a wait status; returned as it is, a failing command
    // (status 256) would become the exit status 0.
    if (status == -1) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Appends the decimal digits of value at *end and moves *end past them;
// async-signal-safe.
void appendNumber(char** end, int value)
{
    char digits[16];
    int count = 0;
    unsigned number = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number && count < 15);
    if (value < 0) digits[count++] = '-';
    while (count) *(*end)++ = digits[--count];
}

void appendText(char** end, const char* text)
{
    while (*text) *(*end)++ = *text++;
}

// Set by the signal handler to the signal's number. A stop asked for before
// the loop runs (during the start-up script, say) must not be lost:
// starting the server clears its stop field, and a sort must not begin.
volatile sig_atomic_t stopRequested = 0;

// Opens /dev/null on standard input, output and error when the program was
// started with them closed. The engine takes descriptor 0 for "no socket",
// so a socket numbered 0 could never serve; and a socket numbered 1 or 2
// would receive the console output meant for the operator.
void reserveStandardDescriptors()
{
    // open() takes the lowest free descriptor: fd itself, as the lower
    // ones are open by then.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1) (void)open("/dev/null", O_RDWR);
}

// Marks every descriptor above standard error close-on-exec. A program
// that starts the server may leave its own open (a pipe, a file of a
// shell); the server uses none of them, and a command a page runs must
// inherit nothing but its standard input, output and error: held by a
// command left running, a launcher's pipe would never see its end.
void closeInheritedOnExec()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    mark_inherited_on_exec_one_by_one();
}

void markOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && !(flags & FD_CLOEXEC)) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Descriptors kept back for each slot: its socket, and the document it
// sends, the upload it writes or the remote exchange its page waits on.
constexpr rlim_t DESCRIPTORS_PER_SLOT = 2;
// Kept back beyond those: the listening socket, the self-pipe, the log and
// console, pooled remote connections and the server's own files.
constexpr rlim_t DESCRIPTOR_MARGIN = 64;

// Raises the soft limit on descriptors to the hard one: every connection,
// base and file takes one, and the soft limit is often far below the hard.
void raiseDescriptorLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    rlim_t wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        std::fprintf(stderr, "vekserver: could not raise the descriptor limit to %llu\n",
                     static_cast<unsigned long long>(wanted));
}

// Bounds the descriptors template words may hold through bases and file
// handles to what the limit leaves after the slots' share and the margin; when
// the limit is too low for that, to a quarter of it (the loop then answers
// connections it has no descriptor for with the refusal page).
void boundTemplateDescriptors(int slots)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const rlim_t reserve = static_cast<rlim_t>(slots > 0 ? slots : 0) * DESCRIPTORS_PER_SLOT + DESCRIPTOR_MARGIN;
    rlim_t budget = limit.rlim_cur > reserve ? limit.rlim_cur - reserve : 0;
    if (budget < limit.rlim_cur / 4) budget = limit.rlim_cur / 4;
    if (budget < 1) budget = 1;
    VekBase::VEKBaseRegistry::setDescriptorBudget(static_cast<int64>(budget));
}

// True when the working directory is the file system's root. Everything a
// page or a "~" path reaches is confined to the working directory, so
// there it would be confined to nothing; a service manager that sets no
// directory starts programs there.
bool workingDirectoryIsRoot()
{
    struct stat here, root;
    return stat(".", &here) == 0 && stat("/", &root) == 0 && here.st_dev == root.st_dev &&
           here.st_ino == root.st_ino;
}

}  // namespace

void signal_handler(int signal)
{
    // Only async-signal-safe work here: the line is built without printf
    // and goes out through the console's writer that never waits (a console
    // pipe nobody reads would otherwise hold the process here for good), and
    // the loop releases everything at its next turn. The code it interrupts
    // may be about to read errno, which a failed write would change.
    const int savedErrno = errno;
    if (signal != 0) {
        char line[64];
        char* end = line;
        appendText(&end, "\nCaught signal (");
        appendNumber(&end, signal);
        appendText(&end, "). VEKServer shutting down...\n");
        VekKernel::consoleSignalWrite(line, static_cast<size_t>(end - line));
    }
    stopRequested = signal != 0 ? signal : SIGTERM;
    // Noted for a sort too: one that has not yet taken the signals over
    // (it is about to) then stops before it touches anything.
    sort_note_signal(stopRequested);
    http_server_request_stop(&httpServer);
    errno = savedErrno;
}

void exit_cleanup()
{
    // Bases first: closing them may still end sessions whose ids the
    // process pools hand back.
    VekBase::VEKBaseRegistry* registry = VekBase::VEKBaseRegistry::instance();
    VekBase::VEKBaseRegistry::destroy(registry);
    delete registry;
    VekConnectionPool::VEKConnectionPool* pool = VekConnectionPool::VEKConnectionPool::instance();
    VekConnectionPool::VEKConnectionPool::destroy(pool);
    delete pool;
    VekBase::VEKProcessPool::readPool();
    VekBase::VEKProcessPool::writePool();
    VekBase::VEKProcessPool::destroyPools();
}

// Each descriptor the process's table lists, whatever its number (a
// launcher may leave one above any limit); without /proc, each below the
// limit, at most the first 65536.
void mark_inherited_on_exec_one_by_one()
{
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(listing)) {
            int fd = std::atoi(entry->d_name);
            if (fd > 2) markOnExec(fd);  // its own descriptor too: closedir ends it
        }
        closedir(listing);
        return;
    }
    constexpr rlim_t MOST_MARKED = 65536;
    rlimit limit;
    rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < MOST_MARKED ? limit.rlim_cur : MOST_MARKED;
    for (int fd = 3; static_cast<rlim_t>(fd) < last; ++fd) markOnExec(fd);
}

int server_main(int argc, char** argv)
{
    reserveStandardDescriptors();
    closeInheritedOnExec();
    raiseDescriptorLimit();
    // Console output never holds the loop up, whoever reads it (or not).
    VekKernel::consoleTakeStandardStreams();
    // Blocks of large texts come from the system and go back to it when
    // freed; a threshold that grew with them would keep freed megabytes in
    // the heap, above what the text budget counts.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    std::signal(SIGINT, signal_handler);
    std::signal(SIGTERM, signal_handler);
    std::signal(SIGPIPE, SIG_IGN);
    printBanner();
    setServerDefaults();
    httpServer.hostMap = read_config_file();
    httpServer.documentPath = new std::string();
    ServerOptions options;
    parse_command_line(argc, argv, options);
    if (options.killMode) return runKillMode();
    boundTemplateDescriptors(httpServer.maxClients);
    if (workingDirectoryIsRoot()) {
        std::fputs("vekserver: will not run with \"/\" as its working directory; start it in the site's directory\n",
                   stderr);
        http_server_stop(&httpServer);
        exit_cleanup();
        return 1;
    }
    if (!run_startup_script()) {
        http_server_stop(&httpServer);
        exit_cleanup();
        return 1;
    }
    if (run_sort_mode(options.sort)) return 0;
    // Memory bases that clients fill hold at most the text budget together.
    VekBase::VEKStreamMem::setLimit(static_cast<int64>(VekLanguage::TextBudget::limit()));
    http_net_startup();
    printListeningLine();
    // A server that could not start (a port in use, say) exits with status 1
    // after the same tear-down, so a supervisor or script can see the failure.
    int status = 0;
    if (http_server_start(&httpServer) == 0) {
        if (stopRequested) http_server_request_stop(&httpServer);
        http_main_loop(&httpServer);
    } else {
        std::puts("Error starting HTTP server");
        printStartFailure();
        status = 1;
    }
    http_server_stop(&httpServer);
    exit_cleanup();
    return status;
}
