// Small text functions of the engine.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "HttpResponse.h"

int str_ends_with(const char* text, const char* tail)
{
    if (!text || !tail) return 0;
    size_t textLength = std::strlen(text);
    size_t tailLength = std::strlen(tail);
    return tailLength <= textLength && std::strcmp(text + textLength - tailLength, tail) == 0;
}

int str_copy_len(char* dst, const char* src)
{
    size_t length = std::strlen(src);
    std::memcpy(dst, src, length + 1);
    return static_cast<int>(length);
}

const char* str_find_nocase(const char* text, const char* word)
{
    size_t length = std::strlen(word);
    for (const char* at = text; *at; ++at) {
        size_t i = 0;
        while (i < length && std::toupper(static_cast<unsigned char>(at[i])) ==
                                 std::toupper(static_cast<unsigned char>(word[i])))
            ++i;
        if (i == length) return at;
    }
    return length == 0 ? text : nullptr;
}

int copy_until(const char* src, char stop, char* dst, int size)
{
    int count = 0;
    while (count < size - 1 && src[count] && src[count] != stop) {
        dst[count] = src[count];
        ++count;
    }
    if (size > 0) dst[count] = '\0';
    return src[count] == stop && stop ? count : 0;
}

int replace_file_part(char* dst, const char* path, const char* name)
{
    const char* separator = std::strrchr(path, '/');
    if (!separator) separator = std::strrchr(path, '\\');
    size_t keep = separator ? static_cast<size_t>(separator - path) + 1 : 0;
    std::memmove(dst, path, keep);
    std::strcpy(dst + keep, name);
    return static_cast<int>(keep);
}

std::string local_ipv4_text()
{
    char name[128] = {0};
    in_addr address;
    address.s_addr = 0;
    if (gethostname(name, sizeof name - 1) == 0) {
        hostent* host = gethostbyname(name);
        if (host && host->h_addr_list && host->h_addr_list[0] && host->h_length == 4)
            std::memcpy(&address, host->h_addr_list[0], 4);
    }
    return inet_ntoa(address);
}
