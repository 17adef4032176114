// Uploads: context life cycle, the multipart parser and the file writer.
// The multipart parser and the file writer refuse everything for now.
#include "HttpUpload.h"

#include <cstring>

#include "kernel/VekAlloc.h"

namespace {

// Copies at most size - 1 bytes of text (length bytes) into a fixed field.
void copyField(char* field, int size, const char* text, int length)
{
    if (length > size - 1) length = size - 1;
    if (length < 0) length = 0;
    std::memcpy(field, text, static_cast<size_t>(length));
    field[length] = '\0';
}

}  // namespace

UploadContext* http_upload_create(const char* boundary, int boundaryLength, const char* fileName,
                                  int fileNameLength)
{
    UploadContext* upload = static_cast<UploadContext*>(vekCalloc(1, sizeof(UploadContext)));
    if (boundary) {
        char text[sizeof upload->boundary];
        std::memcpy(text, "--", 2);
        copyField(text + 2, sizeof text - 2, boundary, boundaryLength);
        std::memcpy(upload->boundary, text, sizeof text);
    }
    if (fileName) copyField(upload->fileName, sizeof upload->fileName, fileName, fileNameLength);
    return upload;
}

void http_upload_release(HttpServer* server, UploadContext** upload)
{
    if (!*upload) return;
    // The callback sees the context one last time so that an open file is closed.
    if (server && server->uploadCallback) server->uploadCallback(server->documentRoot, *upload, nullptr, 0);
    for (int i = 0; i < (*upload)->fieldCount && i < HTTP_UPLOAD_MAX_FIELDS; ++i) {
        if ((*upload)->fields[i][0]) vekFree(&(*upload)->fields[i][0]);
        if ((*upload)->fields[i][1]) vekFree(&(*upload)->fields[i][1]);
    }
    if ((*upload)->openFile) vekFree(&(*upload)->openFile);
    vekFree(upload);
}

int http_upload_start_body(HttpServer*, HttpConnection* conn)
{
    conn->flags |= HTTP_CLOSE_AFTER;
    return -1;
}

int http_upload_receive(HttpServer*, HttpConnection* conn)
{
    conn->flags |= HTTP_CLOSE_AFTER;
    return -1;
}

int http_parse_multipart(HttpServer*, HttpConnection*, bool)
{
    return -1;
}

int http_upload_data(const char*, UploadContext*, const void* data, int)
{
    return data ? -1 : 0;
}

bool http_upload_allowed(HttpServer*, HttpConnection*)
{
    return false;
}

HttpUploadCallback http_set_upload_callback(HttpServer* server, HttpUploadCallback callback)
{
    if (!callback) return nullptr;
    HttpUploadCallback previous = server->uploadCallback;
    server->uploadCallback = callback;
    return previous;
}
