// The template bridge. A run gets one program: "#[vek_prog;[" + prelude +
// page text + "]]", where vek_prog is the wrapper the start-up script defines.
//
// Values that come from the request (POST parameters, the decoded path) and
// the document directory are never written into the program text: inside
// protected brackets a value holding "]" would end the brackets and run the
// rest as template code. They are defined as forms of the run's level before
// the program starts, so each form holds its value byte for byte and nothing
// of it is ever evaluated. The prelude text carries only the fixed values.
#include "HttpTemplate.h"
#include "ServerVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include <poll.h>
#include <sys/time.h>

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "kernel/VEKClient.h"
#include "kernel/VekAlloc.h"
#include "kernel/VekUtil.h"
#include "kernel/VEKLog.h"
#include "language/TextBudget.h"
#include "language/ttm/TTMProcessor.h"

using VekLanguage::Form;
using VekLanguage::TextBudget;
using VekLanguage::TTMProcessor;

std::string templateMimeType;
const char* const HTTP_TEMPLATE_DEFAULT_MIME = "text/html";

namespace {

// Poll interval of a run that waits for a base's writer slot.
constexpr long WRITER_POLL_US = 1000;
// Poll interval of a run whose remote exchange looks up its host name: the
// resolver's thread ends the look-up on no descriptor the loop could watch.
constexpr long LOOKUP_POLL_US = 1000;
// Longest wait of a run whose remote exchange waits on its socket. The run
// then still gets a slice every second, which renews its slot's deadline:
// a peer that takes longer than the idle timeout to answer must not make
// the loop close the slot while the exchange's own timeout still runs.
constexpr long EXCHANGE_WAKE_US = 1000000;
// Longest time time() shows the previous second after the precise clock
// turned to the next one (a clock tick).
constexpr long COARSE_CLOCK_LAG_US = 10000;

// Time a page may take in one turn of the loop, besides its step budget:
// a costly word then holds up only its own page.
constexpr int64 TURN_MICROS = 10000;

// Time all runs together may take in one turn of the loop. Many runs that
// each spend their own slice on costly steps (large texts) would otherwise
// make a turn last seconds, and every other client waits for whole turns.
constexpr int64 TURN_ALL_RUNS_MICROS = 50000;

int64 monotonicMicros()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The runs' share of the current turn. The loop resumes the running slots
// in slot order once per turn, so a slot at or before the previous one
// begins a new turn. Once the share is spent the remaining slots wait, and
// the next turn begins with the first of them: every run gets its turns.
struct TurnShare {
    const HttpConnection* previous = nullptr;  // slot of the latest slice
    const HttpConnection* resumeAt = nullptr;  // first slot that waited; null = none
    const HttpConnection* skipBelow = nullptr; // this turn starts at this slot
    int64 start = 0;                           // when the turn's first slice began
    bool spent = false;                        // the share of this turn is used up
};
TurnShare turnShare;

// True when the run of conn may have a slice in this turn.
bool takesTurnShare(const HttpConnection* conn)
{
    TurnShare& share = turnShare;
    int64 now = monotonicMicros();
    if (!share.previous || conn <= share.previous) {
        share.skipBelow = share.resumeAt;
        share.resumeAt = nullptr;
        share.spent = false;
        share.start = now;
    }
    share.previous = conn;
    if (share.skipBelow && conn < share.skipBelow) return false;
    if (!share.spent && now - share.start >= TURN_ALL_RUNS_MICROS) {
        share.spent = true;
        share.resumeAt = conn;
    }
    return !share.spent;
}

std::string dottedAddress(u32 address)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return text;
}

// The request's values, as forms of the processor's current level.
void defineRequestForms(HttpServer* server, HttpConnection* conn, TTMProcessor* processor)
{
    if (conn->body) {
        for (const HttpInjectedForm& form : http_inject_params(std::string(conn->body, static_cast<size_t>(conn->contentLength))))
            processor->defineFormAtLevel(form.first, form.second, processor->level);
    }
    processor->defineFormAtLevel("VEKSERVER_ROOT_PATH", http_document_root(server, conn), processor->level);
    if (conn->path) processor->defineFormAtLevel("VEKSERVER_FILE_PATH", url_decode(conn->path), processor->level);
}

// The page text of the run and whether its answer goes out without a
// header; false when there is no program at all.
bool choosePage(HttpServer* server, HttpConnection* conn, const std::string& filePath, std::string* page)
{
    conn->flags &= ~HTTP_NO_HEADER;
    if (!filePath.empty()) {
        *page = VekKernel::readFile(filePath);
        return true;
    }
    if (conn->path && http_is_template_file(conn->path)) {
        std::string root = http_document_root(server, conn);
        if (server->documentPath) *server->documentPath = root;
        PathJob job = {root.c_str(), conn->path, {0}, nullptr, 0};
        if (http_normalize_path(&job) >= 0) *page = VekKernel::readFile(job.text);
        return true;
    }
    if (conn->path) {
        *page = url_decode(conn->path);
        conn->flags |= HTTP_NO_HEADER;
        return true;
    }
    if (conn->rawText && !conn->rawText->empty()) {
        *page = *conn->rawText;
        conn->flags |= HTTP_NO_HEADER;
        return true;
    }
    return false;
}

// The share of the text budget a slot's answer holds: the clients' for the
// answer to client text (a raw request or "#[" path, sent without header).
TextBudget::Share answerShare(const HttpConnection* conn)
{
    return (conn->flags & HTTP_NO_HEADER) ? TextBudget::Share::Clients : TextBudget::Share::Pages;
}

// The run's output block becomes the body block owned by the slot, without
// a copy; a final NUL byte is not part of the body. The block keeps a NUL
// behind the body: a page that answers 301 or 307 gives its output as the
// Location text, which the header writer reads as a C text. The body keeps
// its share of the text budget until the slot lets it go.
void takeOutput(HttpConnection* conn, TTMProcessor* processor)
{
    u8* block = processor->output;
    u64 length = processor->outputLength();
    if (length > 0 && block[8 + length - 1] == 0) {
        --length;
    } else {
        void* grown = vekTryRealloc(block, static_cast<u32>(8 + length + 1));
        if (!grown) throw std::bad_alloc();
        block = static_cast<u8*>(grown);
        block[8 + length] = 0;
    }
    processor->output = nullptr;
    TextBudget::takeAnyway(length, answerShare(conn));
    conn->textCharge = static_cast<int64>(length);
    conn->ownedBody = block;
    conn->out = reinterpret_cast<char*>(block + 8);
    conn->outPending = conn->bodyLength = static_cast<int64>(length);
}

// Writes the error line of a failed run. Memory may be short just then: a
// line that cannot be written is not a reason to stop the server.
void logRunFailure(const char* what, int line)
{
    try {
        VekKernel::vekLog.error(what, __FILE__, line);
    } catch (...) {
    }
}

// Runs step: true when it returns; false when it throws, whatever it
// throws (running out of memory included), which is logged as a failed
// run with the caller's line. The run fails alone: the server goes on.
template <typename Step>
bool completes(int line, Step step)
{
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        logRunFailure(e.what(), line);
    } catch (...) {
        logRunFailure("", line);
    }
    return false;
}

void readResultForms(HttpConnection* conn, TTMProcessor* processor)
{
    if (Form* status = processor->findForm("VEKSERVER_STATUS_CODE"))
        conn->status = static_cast<int>(std::strtol(status->rest().c_str(), nullptr, 10));
    conn->mimeIndex = 1;
    if (Form* type = processor->findForm("VEKSERVER_MIME_TYPE")) {
        templateMimeType = type->rest();
        conn->contentTypeOverride = templateMimeType.c_str();
    }
}

}  // namespace

std::vector<HttpInjectedForm> http_inject_params(const std::string& body)
{
    std::vector<HttpInjectedForm> forms;
    std::map<std::string, int> seen;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            size_t equals = pair.find('=');
            std::string name = pair.substr(0, equals);
            std::string value = equals == std::string::npos ? std::string() : url_decode(pair.substr(equals + 1));
            int index = seen[name]++;
            forms.emplace_back("HTTP_PARAM_" + name + "(" + std::to_string(index) + ")", value);
        }
        start = end + 1;
    }
    return forms;
}

std::string http_template_prelude(HttpConnection* conn)
{
    char text[512];
    const char* type = conn->contentTypeOverride ? conn->contentTypeOverride : HTTP_TEMPLATE_DEFAULT_MIME;
    std::snprintf(text, sizeof text,
                  "#[.=;VEKSERVER_REMOTE_ADDR;[%s]]\n"
                  "#[.=;VEKSERVER_VERSION_MAJOR;[%d]]\n"
                  "#[.=;VEKSERVER_VERSION_MINOR;[%d]]\n"
                  "#[.=;VEKSERVER_VERSION_RELEASE;[%d]]\n"
                  "#[.=;VEKSERVER_VERSION_BUILD;[%ld]]\n"
                  "#[.=;VEKSERVER_VERSION_OS_TYPE;[%s]]\n"
                  "#[.=;VEKSERVER_VERSION_APP_TYPE;[%s]]\n"
                  "#[.=;VEKSERVER_VERSION_SECURITY;[%s]]\n"
                  "#[.=;VEKSERVER_STATUS_CODE;[%d]]\n"
                  "#[.=;VEKSERVER_MIME_TYPE;[%s]]\n",
                  dottedAddress(conn->peerAddress).c_str(), VEK_VERSION_MAJOR, VEK_VERSION_MINOR,
                  VEK_VERSION_RELEASE, static_cast<long>(VEK_VERSION_BUILD), VEK_OS_TYPE, VEK_APP_TYPE, "",
                  conn->status, type);
    return text;
}

namespace {

void startTemplate(HttpServer* server, HttpConnection* conn, const std::string& filePath)
{
    conn->flags = (conn->flags & ~(HTTP_READING | HTTP_WRITING)) | HTTP_TEMPLATE;
    TTMProcessor* processor = new TTMProcessor(std::string(server->templateRoot));
    conn->processor = processor;
    processor->init(std::string());
    // Page and request text reach only files under the working directory.
    processor->confinePaths = true;
    processor->sliceMicros = TURN_MICROS;
    defineRequestForms(server, conn, processor);
    templateMimeType.clear();
    std::string prelude = http_template_prelude(conn);
    std::string page;
    if (choosePage(server, conn, filePath, &page)) {
        page.insert(0, "#[vek_prog;[" + prelude);
        page += "]]";
        processor->clientText = (conn->flags & HTTP_NO_HEADER) != 0;
        processor->setInput(page);
    }
    // The run holds the body's parameters as its own text, counted by the
    // text budget: the body is freed and stops counting against the total
    // for bodies, which a few pages that run on would otherwise hold
    // against every form posted meanwhile.
    http_release_body(server, conn);
    if (conn->path) vekFree(&conn->path);
    if ((conn->flags & HTTP_OWNS_BODY) && conn->ownedBody) vekFree(&conn->ownedBody);
    http_release_output(conn);
    conn->flags &= ~HTTP_OWNS_BODY;
    conn->ownedBody = nullptr;
    conn->out = nullptr;
    conn->outPending = 0;
}

}  // namespace

int http_start_template(HttpServer* server, HttpConnection* conn, const std::string& filePath)
{
    // A run that cannot start (no memory for its program, the text budget
    // spent) fails alone: its slot is closed, the server goes on.
    if (completes(__LINE__, [&] { startTemplate(server, conn, filePath); })) return 0;
    http_abort_template(conn);
    return -1;
}

int http_continue_template(HttpServer* server, HttpConnection* conn)
{
    TTMProcessor* processor = static_cast<TTMProcessor*>(conn->processor);
    if (!processor) return -1;
    if (!takesTurnShare(conn)) return 0;
    // Any failure of the run, running out of memory included, ends this
    // run only: it is logged and the caller closes the slot.
    bool finished = false;
    const bool ran = completes(__LINE__, [&] {
        finished = processor->run(server->scriptSteps);
        if (!finished) return;
        readResultForms(conn, processor);
        takeOutput(conn, processor);
    });
    if (!ran) {
        http_abort_template(conn);
        return -1;
    }
    if (!finished) return 0;
    delete processor;
    conn->processor = nullptr;
    conn->flags = (conn->flags & ~HTTP_TEMPLATE) | HTTP_WRITING | HTTP_FROM_BUFFER | HTTP_OWNS_BODY;
    return http_send_header(server, conn);
}

namespace {

// Microseconds until the exchange's timeout has passed, when the next slice
// drops it (the processor drops it once time() shows more than
// requestTimeout seconds since the wait began), at most EXCHANGE_WAKE_US.
// time() reads a coarse clock that turns to the next second up to a clock
// tick after the precise one: the wait lasts that much longer, so that it
// does not end just before time() turns and begin again with no wait left.
long untilExchangeTimeout(const TTMProcessor* processor)
{
    const std::time_t seconds = std::time(nullptr);
    const int64 elapsed = static_cast<int64>(seconds - processor->waitStart);
    if (elapsed > processor->requestTimeout) return 0;
    if (processor->requestTimeout >= elapsed + 1) return EXCHANGE_WAKE_US;
    timeval now;
    gettimeofday(&now, nullptr);
    const long toNextSecond = now.tv_sec > seconds ? 0 : 1000000L - static_cast<long>(now.tv_usec);
    return toNextSecond + COARSE_CLOCK_LAG_US;
}

}  // namespace

long http_template_wait_us(const HttpConnection* conn)
{
    const TTMProcessor* processor = static_cast<const TTMProcessor*>(conn->processor);
    if (!processor || processor->requestState != VekLanguage::RequestWaiting) return 0;
    const VekClient::VEKClient* exchange = processor->pendingClient.get();
    if (!exchange) return WRITER_POLL_US;
    if (exchange->awaited().fd < 0) return LOOKUP_POLL_US;
    return untilExchangeTimeout(processor);
}

int http_template_wait_socket(const HttpConnection* conn, bool* forOutput)
{
    const TTMProcessor* processor = static_cast<const TTMProcessor*>(conn->processor);
    if (!processor || processor->requestState != VekLanguage::RequestWaiting || !processor->pendingClient) return -1;
    VekClient::VEKClient::Awaited awaited = processor->pendingClient->awaited();
    *forOutput = (awaited.events & POLLOUT) != 0;
    return awaited.fd;
}

void http_abort_template(HttpConnection* conn)
{
    // The run did not finish: the base sessions it left open would keep,
    // say, a writer slot taken for the rest of the process.
    TTMProcessor* processor = static_cast<TTMProcessor*>(conn->processor);
    if (processor) completes(__LINE__, [&] { processor->abandonSessions(); });
    delete processor;
    conn->processor = nullptr;
    conn->flags &= ~HTTP_TEMPLATE;
}

void http_release_output(HttpConnection* conn)
{
    TextBudget::give(static_cast<size_t>(conn->textCharge), answerShare(conn));
    conn->textCharge = 0;
}
