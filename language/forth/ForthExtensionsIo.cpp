// Forth extension words that reach outside the processor: the named
// connections of the process-wide pool ("~+", "~-", "~>"), base64 between
// files and texts, the output block, and file status.
//
// Paths come from program text: a path that does not stay under the
// working directory (VekKernel::isPagePath) is treated as a file that
// cannot be opened or examined. The four whole-file words log a failure
// met while working and complete their stack effect as if the work had
// produced nothing.
#include <cstdio>
#include <string>

#include "ForthExtensions.h"
#include "LanguageSwitches.h"
#include "TTMText.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "VEKLog.h"
#include "VekFile.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

using VekConnectionPool::VEKConnection;

const char* const SourceName = "language/forth/ForthProcessor";

void logFailure(const std::exception& failure, int line) { VekKernel::vekLog.error(failure.what(), SourceName, line); }

// The port cell as the pool's int.
int portOf(Cell port) { return static_cast<int>(port); }

// path -- text: the file's size or time as decimal text, "0" when it
// cannot be examined.
template <typename Status>
void fileStatusWord(ForthProcessor& forth, const char* name, Status status) {
    ForthInputs in(forth, name, 1, 2);
    const std::string path = in.text(0);
    in.consume();
    const long long value = VekKernel::isPagePath(path) ? static_cast<long long>(status(path)) : 0;
    forth.pushText(formatWord("%lld", value), name);
}

}  // namespace

// ---- connections: port host ----

void ForthProcessor::extConnectionAcquire() {
    ForthInputs in(*this, "~+", 2, 0);
    const std::string host = in.text(0);
    const int port = portOf(in.cell(1));
    in.consume();
    connectionPool->acquire(host, port);
}

void ForthProcessor::extConnectionRelease() {
    ForthInputs in(*this, "~-", 2, 0);
    const std::string host = in.text(0);
    const int port = portOf(in.cell(1));
    in.consume();
    connectionPool->release(host, port);
}

// request timeout port host -- text: one step of the exchange; the reply
// once the peer has closed, empty while the exchange goes on. A timeout of
// 0 makes it one-way (done once the request is sent). While a client is
// pending every call continues that exchange.
void ForthProcessor::extConnectionRequest() {
    ForthInputs in(*this, "~>", 4, 2);
    const std::string host = in.text(0);
    const int port = portOf(in.cell(1));
    const bool oneWay = in.cell(2) == 0;
    std::string request = in.text(3);
    in.consume();
    VekKernel::trim(request);
    std::string reply;
    VEKConnection* connection = connectionPool->find(host, port);
    // Nothing taken with "~+" and nothing pending: nothing is sent.
    if (connection == nullptr && pendingClient == nullptr) return pushText(reply, "~>");
    // A pending exchange goes on even when its connection was given back
    // meanwhile: the client is this processor's own.
    VEKConnection standIn(host, port);
    if (connection == nullptr) connection = &standIn;
    connection->request(request, reply, pendingClient, oneWay);
    pushText(reply, "~>");
}

// ---- base64, files and the output block ----

// path -- text
void ForthProcessor::extBase64LoadBinary() {
    ForthInputs in(*this, "base64LoadBinary", 1, 2);
    const std::string path = in.text(0);
    in.consume();
    std::string text;
    try {
        if (VekKernel::isPagePath(path)) loadFileAsBase64(path, text);
    } catch (const std::exception& failure) {
        logFailure(failure, __LINE__);
        text.clear();
    }
    pushText(text, "base64LoadBinary");
}

// text path --
void ForthProcessor::extBase64SaveBinary() {
    ForthInputs in(*this, "base64SaveBinary", 2, 0);
    if (!allowWriteCommands) {
        in.consume();
        std::printf("Command: \"base64SaveBinary\" not allowed! Set command line option \"-write\" to allow it.\n");
        return;
    }
    const std::string path = in.text(0);
    const std::string text = in.text(1);
    in.consume();
    try {
        if (VekKernel::isPagePath(path)) saveBase64AsFile(path, text);
    } catch (const std::exception& failure) {
        logFailure(failure, __LINE__);
    }
}

// text -- count: the decoded byte count as decimal text, empty for an
// empty or invalid text.
void ForthProcessor::extOutBase64Decode() {
    ForthInputs in(*this, "outBase64Decode", 1, 2);
    const std::string text = in.text(0);
    in.consume();
    std::string count;
    try {
        int64 decoded = text.empty() ? -1 : appendBase64ToOutput(*this, text);
        if (decoded >= 0) count = formatWord("%lld", static_cast<long long>(decoded));
    } catch (const std::exception& failure) {
        logFailure(failure, __LINE__);
    }
    pushText(count, "outBase64Decode");
}

// x path --: the cell under the path is dropped unread.
void ForthProcessor::extOutLoadBinary() {
    ForthInputs in(*this, "outLoadBinary", 2, 0);
    const std::string path = in.text(0);
    in.consume();
    try {
        if (VekKernel::isPagePath(path)) appendFileToOutput(*this, path);
    } catch (const std::exception& failure) {
        logFailure(failure, __LINE__);
    }
}

// path -- text: the modification time in seconds.
void ForthProcessor::extGetFileTime() {
    fileStatusWord(*this, "getFileTime", [](const std::string& path) { return VekKernel::get_file_mtime(path); });
}

void ForthProcessor::extGetFileSize() {
    fileStatusWord(*this, "getFileSize", [](const std::string& path) { return VekKernel::get_file_size(path); });
}

}  // namespace VekLanguage
