// Request preparation: header lines, body, certificate bundle and transient codes.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <curl/curl.h>
#include <sys/stat.h>

#include "zo_internal.h"

using zo::Malloced;
using zo::Slist;

void zo::SlistDeleter::operator()(curl_slist *l) const { curl_slist_free_all(l); }

extern "C" const char *const zo_curl_ca_locs[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/ssl/certs",
    "/system/etc/security/cacerts",
    "/usr/local/share/certs",
    "/etc/pki/tls/certs",
    "/etc/openssl/certs",
    "/var/ssl/certs",
};
extern "C" const int zo_curl_ca_loc_max = 12;
static_assert(sizeof zo_curl_ca_locs / sizeof zo_curl_ca_locs[0] == 12, "twelve search paths");

extern "C" curl_slist *zo_key_headers(int mode, const char *api_key) {
    Malloced<char> line(
        zo_heap_printf(ZO_API_KEY_HEADER ": %s", api_key != nullptr ? api_key : ""));
    if (!line) return nullptr;
    Slist list(curl_slist_append(nullptr, line.get()));
    if (!list) return nullptr;
    // Appending keeps the head; on failure the list stays whole and its owner releases it.
    if (mode == 1 &&
        curl_slist_append(list.get(), "Content-Type: " ZO_JSON_MEDIA_TYPE) == nullptr)
        return nullptr;
    return list.release();
}

extern "C" curl_slist *_generate_slist(int mode) {
    // An unset key is sent as an empty value, never as a placeholder text.
    return zo_key_headers(mode, getenv("ZO_API_KEY"));
}

extern "C" char *_generate_curl_data(const uint64_t *values, size_t count) {
    // Room for the widest text: 20 digits and a comma per value, the brackets and the NUL.
    constexpr size_t per_value = 21;
    if (count > (SIZE_MAX - 3) / per_value) return nullptr;
    const size_t capacity = count * per_value + 3;
    Malloced<char> body(static_cast<char *>(malloc(capacity)));
    if (!body) return nullptr;
    char *text = body.get();
    size_t used = 0;
    text[used++] = '[';
    for (size_t i = 0; i < count; i++) {
        const int n = snprintf(text + used, capacity - used, i == 0 ? "%" PRIu64 : ",%" PRIu64,
                               values[i]);
        if (n <= 0 || static_cast<size_t>(n) >= capacity - used) return nullptr;
        used += static_cast<size_t>(n);
    }
    text[used++] = ']';
    text[used] = '\0';
    return body.release();
}

extern "C" const char *_curl_ca_location(void) {
    struct stat st;
    for (int i = 0; i < zo_curl_ca_loc_max; i++)
        if (stat(zo_curl_ca_locs[i], &st) == 0) return zo_curl_ca_locs[i];
    return nullptr;
}

extern "C" int _curl_transient_err(int code) {
    return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
}
