// Fuzz target: the multipart/form-data body parser. The input gives the
// boundary, then the body in pieces of random size, each appended behind
// the bytes the slot's buffer still holds before the parser runs again,
// as the receive step does. Long runs of one byte can be asked for, so
// that the buffer fills and the piecewise writing of large parts runs.
// The upload callback checks what it is handed instead of writing files:
// every piece inside the buffer, every file name one the directory may
// hold, every stored field intact.
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "http/HttpUpload.h"
#include "kernel/VekAlloc.h"

namespace {

HttpConnection* slot;  // the slot being fed, for the callback's checks

int checkPiece(const char*, UploadContext* upload, const void* data, int length)
{
    if (!data) return 0;
    const char* bytes = static_cast<const char*>(data);
    if (length < 0 || bytes < slot->ioBuffer || bytes + length > slot->ioBuffer + HTTP_IO_BUFFER) std::abort();
    if (!http_upload_name_allowed(upload->fileName)) std::abort();
    return upload->fileName[0] == 'x' ? -1 : 0;  // some files fail to write
}

// The next piece of body: c < 200 gives the next c + 1 input bytes;
// otherwise (c - 199) * 8192 copies of the next byte.
std::string nextPiece(VekFuzz::Bytes& in)
{
    uint8_t c = in.byte();
    if (c < 200) return in.take(c + 1u);
    return std::string((c - 199u) * 8192u, static_cast<char>(in.byte()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    VekFuzz::Bytes in(data, size);
    std::string boundary = in.take(in.byte() % 96);
    HttpServer server = {};
    server.uploadCallback = checkPiece;
    HttpConnection conn = {};
    slot = &conn;
    conn.ioBuffer = static_cast<char*>(vekMalloc(HTTP_IO_BUFFER));
    conn.upload = http_upload_create(boundary.data(), static_cast<int>(boundary.size()), nullptr, 0);
    UploadContext* upload = conn.upload;
    std::memcpy(conn.ioBuffer, "\r\n", 2);
    upload->buffered = 2;
    int result = 0;
    while (result == 0 && !in.empty()) {
        std::string piece = nextPiece(in);
        size_t room = static_cast<size_t>(HTTP_IO_BUFFER - upload->buffered);
        if (piece.size() > room) piece.resize(room);
        std::memcpy(conn.ioBuffer + upload->buffered, piece.data(), piece.size());
        upload->buffered += static_cast<int>(piece.size());
        result = http_parse_multipart(&server, &conn, true);
        if (upload->buffered < 0 || upload->buffered > HTTP_IO_BUFFER) std::abort();
        if (upload->fieldCount > HTTP_UPLOAD_MAX_FIELDS) std::abort();
    }
    for (int i = 0; i < upload->fieldCount; ++i)
        if (!upload->fields[i][0] || !upload->fields[i][1]) std::abort();
    http_upload_release(&server, &conn.upload);
    vekFree(&conn.ioBuffer);
    return 0;
}
