// Solver front door and remote solver client.
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include <curl/curl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "zo_internal.h"

// Diagnostics go where zo_diag.cpp sends them: through the host's sink or to standard output.
extern "C" void zo_say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zo_vsay(fmt, ap);
    va_end(ap);
}

namespace {

void say_line(const char *text) { zo_say("%s\n", text); }

// printf into an exact-size malloc'ed text; NULL when it cannot be made.
char *heap_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *heap_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    const int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    return n < 0 ? nullptr : text;
}

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using Malloced = std::unique_ptr<T, FreeDeleter>;

struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

}  // namespace

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf) {
    // Callers pass NULL only when formatting their message ran out of memory.
    if (msg == nullptr) msg = "[Local failure] out of memory";
    zo_say("Failed with error: %s\n", msg);
    if (err_buf == nullptr) return;
    // strncpy zero-fills the rest of the first 127 bytes; byte 127 always ends the text.
    strncpy(err_buf, msg, ZO_ERR_BUF_SIZE - 1);
    err_buf[ZO_ERR_BUF_SIZE - 1] = '\0';
}

extern "C" int keep_local(void) {
    const char *v = getenv("ZO_KILLSWITCH");
    return v != nullptr && strcmp(v, "1") == 0;
}

extern "C" zo_status_t fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                 uint64_t *output, size_t *output_size,
                                                 char *err_buf) {
    if (!keep_local())
        return _online_fetch_complete_subset_sum(input, input_length, output, output_size, err_buf);
    switch (fmss_complete_subset_sum(input, input_length, output, output_size)) {
    case 0:
        return 0;
    case FMSS_TOTAL_OVERFLOW:
        _safe_copy_to_err_buff("[Local failure] total of the values exceeds 2^64 - 1", err_buf);
        return -1;
    default:
        _safe_copy_to_err_buff("[Local failure] not enough memory for the local solve", err_buf);
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Request preparation

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

extern "C" curl_slist *_generate_slist(int mode) {
    // An unset key is sent as an empty value, never as a placeholder text.
    const char *key = getenv("ZO_API_KEY");
    Malloced<char> line(heap_printf("x-api-key: %s", key != nullptr ? key : ""));
    if (!line) return nullptr;
    Slist list(curl_slist_append(nullptr, line.get()));
    if (!list) return nullptr;
    // Appending keeps the head; on failure the list stays whole and its owner releases it.
    if (mode == 1 && curl_slist_append(list.get(), "Content-Type: application/json") == nullptr)
        return nullptr;
    return list.release();
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

// ---------------------------------------------------------------------------------------------
// Submit response scanner. Each piece is scanned as a whole flat object; nothing carries over.

namespace {

bool ends_value(char c) { return c == '"' || c == ',' || c == '}'; }

// Copies the value at *p into dest (at most `room` characters, then a NUL). False when the piece
// ends before the value does; the text copied so far is still terminated.
bool scrape_value(const char *data, size_t count, size_t *p, char *dest, size_t room) {
    size_t n = 0;
    while (*p < count && !ends_value(data[*p]) && n < room) dest[n++] = data[(*p)++];
    dest[n] = '\0';
    if (*p >= count) {
        zo_say("Ran out of buffer during val scraping");
        return false;
    }
    return true;
}

// Rejects the whole response with `text` as the failure the exchange reports.
size_t reject_response(zo_submit_response_t *record, char *text, const char *shown) {
    free(record->err_str);
    record->err_str = text;
    record->status = -1;
    say_line(text != nullptr ? text : shown);
    return 0;
}

}  // namespace

extern "C" size_t make_request_write_callback(char *data, size_t, size_t count, void *userp) {
    auto *record = static_cast<zo_submit_response_t *>(userp);
    record->status = 0;
    if (count == 0) return 0;
    if (data[0] != '{') {
        char shown[] = "unexpected opening character to response ?";
        shown[sizeof shown - 2] = data[0];
        return reject_response(
            record, heap_printf("unexpected opening character to response %c", data[0]), shown);
    }
    size_t p = 1;
    while (p < count && data[p] == '"') {
        p++;
        char key[51];
        size_t k = 0;
        while (p < count && data[p] != '"' && k < 50) key[k++] = data[p++];
        key[k] = '\0';
        if (p + 3 >= count) {
            say_line("Ran out of buffer during transition to val");
            return p;
        }
        // p + 3 < count: the quote, the colon, a space and one more byte all lie in the piece.
        if (data[p] != '"') {
            zo_say("Unexpected character after key 0x%x\n", static_cast<int>(static_cast<signed char>(data[p])));
            return p;
        }
        p++;
        if (data[p] != ':') {
            zo_say("Unexpected character after key+1 0x%x\n",
                static_cast<int>(static_cast<signed char>(data[p])));
            return p;
        }
        p++;
        if (data[p] == ' ') p++;

        if (strcmp(key, "requestId") == 0) {
            if (data[p] == '"') p++;
            if (!scrape_value(data, count, &p, record->request_id, ZO_REQUEST_ID_SIZE - 1))
                return p;
        } else if (strcmp(key, "message") == 0) {
            if (data[p] == '"') p++;
            char message[512];
            if (!scrape_value(data, count, &p, message, sizeof message - 1)) return p;
            zo_say("Got message %s\n", message);
            if (strcmp(message, "Forbidden") == 0) say_line("Bad API key");
            return reject_response(record, heap_printf("%s", message), message);
        } else {
            if (data[p] == '"') p++;
            while (p < count && !ends_value(data[p])) p++;
        }
        if (p < count && data[p] == '"') p++;
        while (p < count && (data[p] == ',' || data[p] == ' ')) p++;
    }
    if (p < count) {
        if (data[p] == '}') return p + 1;
        zo_say("Unexpected ending character %c\n", data[p]);
    }
    return p;
}

// ---------------------------------------------------------------------------------------------
// Result payload decoding

namespace {

bool starts_with(const char *data, size_t len, const char *prefix) {
    const size_t n = strlen(prefix);
    return len >= n && memcmp(data, prefix, n) == 0;
}

enum class Inflated { complete, window_full, damaged };

// Inflates one gzip stream into dest[0 .. capacity); *produced is the number of bytes written.
// Output that outgrows the window is cut there; a stream that ends early or fails its check is
// damaged. Works in chunks, since zlib counts in 32 bits.
Inflated inflate_gzip(unsigned char *dest, size_t capacity, const unsigned char *source,
                      size_t source_len, size_t *produced) {
    constexpr size_t chunk = UINT32_MAX;
    z_stream strm{};
    *produced = 0;
    if (inflateInit2(&strm, 15 + 16) != Z_OK) return Inflated::damaged;
    size_t in_left = source_len, out_left = capacity;
    strm.next_in = const_cast<unsigned char *>(source);
    strm.next_out = dest;
    Inflated outcome = Inflated::damaged;
    for (;;) {
        if (strm.avail_in == 0 && in_left > 0) {
            strm.avail_in = static_cast<uInt>(in_left < chunk ? in_left : chunk);
            in_left -= strm.avail_in;
        }
        if (strm.avail_out == 0 && out_left > 0) {
            strm.avail_out = static_cast<uInt>(out_left < chunk ? out_left : chunk);
            out_left -= strm.avail_out;
        }
        const int rc = inflate(&strm, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            outcome = Inflated::complete;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        if (strm.avail_out == 0 && out_left == 0) {
            outcome = Inflated::window_full;
            break;
        }
        if (strm.avail_in == 0 && in_left == 0) break;  // the stream ends early
    }
    *produced = static_cast<size_t>(strm.next_out - dest);
    inflateEnd(&strm);
    return outcome;
}

}  // namespace

extern "C" size_t write_memory_callback(char *data, size_t size, size_t count, void *userp) {
    auto *buffer = static_cast<zo_download_buffer_t *>(userp);
    if (size != 0 && count > SIZE_MAX / size) return 0;
    const size_t realsize = size * count;
    if (realsize == 0) return 0;
    if (starts_with(data, realsize, "{\"message\"")) return 0;
    if (starts_with(data, realsize, "<?xml version=\"")) {
        // The piece has no terminator: show exactly its bytes (up to a NUL inside it).
        const int shown = realsize > INT32_MAX ? INT32_MAX : static_cast<int>(realsize);
        zo_say("Output is not expected binary, got %.*s", shown, data);
        return 0;
    }
    if (buffer->size > SIZE_MAX - realsize) return 0;
    char *grown = static_cast<char *>(realloc(buffer->memory, buffer->size + realsize));
    if (grown == nullptr) {
        say_line("not enough memory (realloc returned NULL)");
        return 0;
    }
    buffer->memory = grown;
    memcpy(buffer->memory + buffer->size, data, realsize);
    buffer->size += realsize;
    return realsize;
}

extern "C" int gunzip(unsigned char *dest, size_t *dest_len, const unsigned char *source,
                      size_t source_len) {
    if (source_len > UINT32_MAX || *dest_len > UINT32_MAX) return Z_BUF_ERROR;
    z_stream strm{};
    strm.next_in = const_cast<unsigned char *>(source);
    strm.avail_in = static_cast<uInt>(source_len);
    strm.next_out = dest;
    strm.avail_out = static_cast<uInt>(*dest_len);
    int rc = inflateInit2(&strm, 15 + 16);
    if (rc != Z_OK) return rc;
    rc = inflate(&strm, Z_FINISH);
    if (rc == Z_STREAM_END) {
        *dest_len = strm.total_out;
        return inflateEnd(&strm);
    }
    inflateEnd(&strm);
    return rc == Z_OK ? Z_BUF_ERROR : rc;
}

extern "C" int _unzip_data(zo_download_buffer_t *buffer, zo_unpack_target_t *target) {
    const size_t capacity = *target->output_size;
    // The window is always larger than the output, so a long payload is seen to overrun it
    // instead of being cut silently; a small output still gets the customary 64 KiB.
    constexpr size_t min_window = 65536;
    if (capacity > (SIZE_MAX - 8) / 8) return -1;
    const size_t window_len = capacity * 8 + 8 > min_window ? capacity * 8 + 8 : min_window;
    Malloced<unsigned char> window(static_cast<unsigned char *>(malloc(window_len)));
    if (!window) return -1;

    size_t len = 0;
    if (inflate_gzip(window.get(), window_len, reinterpret_cast<unsigned char *>(buffer->memory),
                     buffer->size, &len) == Inflated::damaged)
        return -1;

    const unsigned char *bytes = window.get();
    while (len > 0 && bytes[len - 1] == 0) len--;
    uint64_t *words = target->output;
    for (size_t i = 0; i < len; i++) {
        if (i / 8 >= capacity) {
            say_line("Overrun output size");
            break;
        }
        if (i % 8 == 0) words[i / 8] = 0;
        words[i / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * (i % 8));
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Submit-and-poll exchange

namespace {

constexpr const char *default_service_url = "https://localhost:8443";
constexpr int submit_attempts = 5;
constexpr int poll_attempts = 60;
constexpr long connect_timeout_s = 30;
// A transfer that delivers no byte for this long ends with a time-out instead of hanging.
constexpr long stall_time_s = 60;
// Redirects one poll attempt may follow before the whole call fails.
constexpr int max_redirects = 5;
// Room for gzip's framing and stored-block overhead on top of the result's own bytes.
constexpr curl_off_t download_allowance = 65536;

struct EasyDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct UrlDeleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFreeDeleter {
    void operator()(char *p) const { curl_free(p); }
};
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

std::once_flag curl_initialised;

// The environment is read afresh on every solve, so each call may aim elsewhere.
std::string service_base() {
    const char *env = getenv("ZO_SERVICE_URL");
    std::string base = env != nullptr && *env != '\0' ? env : default_service_url;
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

// The certificate bundle to trust: ZO_CA_BUNDLE when set, else the first of the search paths.
// Empty when there is none.
std::string ca_bundle() {
    const char *env = getenv("ZO_CA_BUNDLE");
    if (env != nullptr && *env != '\0') {
        struct stat st;
        return stat(env, &st) == 0 ? std::string(env) : std::string();
    }
    const char *found = _curl_ca_location();
    return found != nullptr ? std::string(found) : std::string();
}

std::string url_escape(const char *text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; c++) {
        const bool unreserved = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') ||
                                (*c >= '0' && *c <= '9') || *c == '-' || *c == '.' ||
                                *c == '_' || *c == '~';
        if (unreserved) {
            out += static_cast<char>(*c);
        } else {
            out += '%';
            out += hex[*c >> 4];
            out += hex[*c & 15];
        }
    }
    return out;
}

struct DownloadLimit {
    curl_off_t max_bytes;
};

// Ends a poll whose answer outgrows any valid payload for the caller's capacity.
int stop_oversized_download(void *userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                            curl_off_t) {
    const curl_off_t max_bytes = static_cast<DownloadLimit *>(userp)->max_bytes;
    return dltotal > max_bytes || dlnow > max_bytes ? 1 : 0;
}

DownloadLimit download_limit(size_t capacity_words) {
    constexpr curl_off_t most = std::numeric_limits<curl_off_t>::max();
    const curl_off_t headroom = most - download_allowance;
    if (capacity_words > static_cast<uint64_t>(headroom) / 9) return {most};
    const curl_off_t bytes = static_cast<curl_off_t>(capacity_words) * 8;
    return {bytes + bytes / 128 + download_allowance};
}

// Options every transfer shares: whom to trust, where it may go and how long it may take.
CURLcode set_common_options(CURL *h, const std::string &url, const std::string &ca,
                            curl_slist *headers) {
    CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    struct stat st;
    if (rc == CURLE_OK && stat(ca.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // A directory of hashed certificates cannot serve as a bundle file.
        rc = curl_easy_setopt(h, CURLOPT_CAINFO, static_cast<char *>(nullptr));
        if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CAPATH, ca.c_str());
    } else if (rc == CURLE_OK) {
        rc = curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
    }
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
#if LIBCURL_VERSION_NUM >= 0x075500
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
#else
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTPS});
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTPS});
#endif
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect_timeout_s);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_time_s);
    // Worker threads run exchanges too: no signals for name-resolution time-outs.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    return rc;
}

CURLcode submit_once(CURL *h, const std::string &url, const std::string &ca, curl_slist *headers,
                     const char *body, zo_submit_response_t *record) {
    CURLcode rc = set_common_options(h, url, ca, headers);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, make_request_write_callback);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, record);
    if (rc == CURLE_OK) rc = curl_easy_perform(h);
    return rc;
}

// Scheme, host and port: whom a request goes to, and so whether the key may go along.
struct Origin {
    std::string scheme, host;
    long port = -1;  // the scheme's default when the address names none; -1 when it has none
};

std::string lower(const char *text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// Parses an absolute address. False when it is none; `canonical` (when given) gets the address
// as libcurl's parser reads it, so the address checked is the address requested.
bool parse_address(const char *address, Origin *origin, std::string *canonical) {
    Url u(curl_url());
    if (!u || address == nullptr) return false;
    if (curl_url_set(u.get(), CURLUPART_URL, address, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    auto part = [&u](CURLUPart which, unsigned flags) {
        char *text = nullptr;
        return CurlText(curl_url_get(u.get(), which, &text, flags) == CURLUE_OK ? text : nullptr);
    };
    CurlText scheme = part(CURLUPART_SCHEME, 0), host = part(CURLUPART_HOST, 0);
    if (!scheme) return false;
    origin->scheme = lower(scheme.get());
    origin->host = host ? lower(host.get()) : std::string();
    CurlText port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    origin->port = port ? strtol(port.get(), nullptr, 10) : -1;
    if (canonical != nullptr) {
        CurlText whole = part(CURLUPART_URL, 0);
        if (!whole) return false;
        *canonical = whole.get();
    }
    return true;
}

bool same_origin(const Origin &a, const Origin &b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

// libcurl's reading of a finished answer: the absolute target of a 3xx with a Location, or NULL.
const char *redirect_target(CURL *h) {
    long status = 0;
    char *target = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return nullptr;
    if (status < 300 || status > 399) return nullptr;
    if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &target) != CURLE_OK) return nullptr;
    return target;
}

// What the headers of the answer in flight say; the body needs it before libcurl has finished.
struct PollHop {
    zo_download_buffer_t *buffer;
    long status;
    bool location;
    bool redirect() const { return status >= 300 && status <= 399 && location; }
};

// Every answer's headers come through here, interim answers' too: a status line starts afresh.
size_t note_poll_header(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<PollHop *>(userp);
    const size_t len = size * count;
    if (starts_with(data, len, "HTTP/")) {
        hop->status = 0;
        hop->location = false;
        const char *space = static_cast<const char *>(memchr(data, ' ', len));
        for (size_t i = space != nullptr ? static_cast<size_t>(space - data) + 1 : len;
             i < len && isdigit(static_cast<unsigned char>(data[i])) && hop->status < 1000; i++)
            hop->status = hop->status * 10 + (data[i] - '0');
    } else if (len > 9 && strncasecmp(data, "location:", 9) == 0) {
        for (size_t i = 9; i < len && !hop->location; i++)
            hop->location = !isspace(static_cast<unsigned char>(data[i]));
    }
    return len;
}

// A redirect's own body is no result: it is read (within the download bound) and dropped.
size_t collect_poll_body(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<PollHop *>(userp);
    if (hop->redirect()) return size * count;
    return write_memory_callback(data, size, count, hop->buffer);
}

CURLcode poll_once(CURL *h, const std::string &url, const std::string &ca, curl_slist *headers,
                   PollHop *hop, DownloadLimit *limit) {
    CURLcode rc = set_common_options(h, url, ca, headers);
    // Redirects are followed by hand, so each target is checked before anything is sent there.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect_poll_body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, note_poll_header);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERDATA, hop);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, stop_oversized_download);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFODATA, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    if (rc == CURLE_OK) rc = curl_easy_perform(h);
    return rc;
}

// One poll attempt: the poll address, then the redirects it leads to. Only https targets are
// followed, at most max_redirects of them, and the key lines go only to the service's own origin.
// *no_handle is set when an easy handle could not be made.
CURLcode poll_attempt(const std::string &poll_url, const Origin *service, const std::string &ca,
                      curl_slist *key_headers, zo_download_buffer_t *buffer, DownloadLimit *limit,
                      bool *no_handle) {
    std::string url = poll_url;
    curl_slist *headers = key_headers;
    for (int redirects = 0;; redirects++) {
        Easy h(curl_easy_init());
        if (!h) {
            *no_handle = true;
            return CURLE_FAILED_INIT;
        }
        PollHop hop{buffer, 0, false};
        const CURLcode rc = poll_once(h.get(), url, ca, headers, &hop, limit);
        if (rc != CURLE_OK) return rc;
        const char *target = redirect_target(h.get());
        if (target == nullptr) return CURLE_OK;
        // Should the headers have been read otherwise, nothing of this answer stays either.
        free(buffer->memory);
        *buffer = {nullptr, 0};
        if (redirects == max_redirects) return CURLE_TOO_MANY_REDIRECTS;
        Origin next;
        if (!parse_address(target, &next, &url)) return CURLE_URL_MALFORMAT;
        if (next.scheme != "https") return CURLE_UNSUPPORTED_PROTOCOL;
        headers = service != nullptr && same_origin(next, *service) ? key_headers : nullptr;
    }
}

// Releases what the scanner and the collector leave in their records, on every path.
struct SubmitResponseOwner {
    zo_submit_response_t record;
    ~SubmitResponseOwner() { free(record.err_str); }
};

struct DownloadOwner {
    zo_download_buffer_t buffer{nullptr, 0};
    void clear() {
        free(buffer.memory);
        buffer = {nullptr, 0};
    }
    ~DownloadOwner() { free(buffer.memory); }
};

zo_status_t exchange(const uint64_t *input, size_t input_length, uint64_t *output,
                     size_t *output_size, char *err_buf) {
    auto fail = [err_buf](const char *msg) {
        _safe_copy_to_err_buff(msg, err_buf);
        return -1;
    };
    auto fail_code = [&fail](CURLcode code) {
        char msg[64];
        snprintf(msg, sizeof msg, "Submit problem curl failed with %d", static_cast<int>(code));
        return fail(msg);
    };
    const std::string base = service_base();

    Slist submit_headers(_generate_slist(1));
    if (!submit_headers) return fail("[Local failure] slist failed to generate");
    Malloced<char> body(_generate_curl_data(input, input_length));
    if (!body) return fail("[Local failure] postdata failed to generate");
    const std::string ca = ca_bundle();
    if (ca.empty()) return fail("Couldn't find ca cert");

    std::call_once(curl_initialised, [] { curl_global_init(CURL_GLOBAL_ALL); });

    char request_id[ZO_REQUEST_ID_SIZE] = {0};
    SubmitResponseOwner submit{{0, request_id, nullptr}};
    const std::string submit_url = base + "/v0/app/sspu";
    CURLcode code = CURLE_OK;
    for (int attempt = 0; attempt < submit_attempts; attempt++) {
        // An identifier from an attempt that failed is not the service's answer.
        request_id[0] = '\0';
        Easy h(curl_easy_init());
        if (!h) return fail("[Local failure] curl failed to generate");
        code = submit_once(h.get(), submit_url, ca, submit_headers.get(), body.get(),
                           &submit.record);
        if (code == CURLE_OK || !_curl_transient_err(code)) break;
    }
    if (code != CURLE_OK && submit.record.status != 0 && submit.record.err_str != nullptr)
        return fail(submit.record.err_str);
    if (code != CURLE_OK) return fail_code(code);
    if (request_id[0] == '\0') return fail("Submit response has no requestId");
    submit_headers.reset();
    body.reset();

    const std::string poll_url = base + "/v0/result?requestId=" + url_escape(request_id);
    // An address that cannot be parsed has no origin to match: redirects then go without the key.
    Origin service;
    const bool service_known = parse_address(base.c_str(), &service, nullptr);
    Slist poll_headers(_generate_slist(2));
    if (!poll_headers) return fail("[Local failure] slist failed to generate");
    zo_unpack_target_t target{output, output_size};
    DownloadLimit limit = download_limit(*output_size);
    DownloadOwner download;
    for (int attempt = 0; attempt < poll_attempts; attempt++) {
        // Bytes of a failed attempt never reach the result.
        download.clear();
        bool no_handle = false;
        code = poll_attempt(poll_url, service_known ? &service : nullptr, ca, poll_headers.get(),
                            &download.buffer, &limit, &no_handle);
        if (no_handle) return fail("[Local failure] curl failed to generate");
        if (code == CURLE_OK) break;
        if (code != CURLE_WRITE_ERROR && !_curl_transient_err(code)) {
            zo_say("result fetch Curl failed with %d\n", static_cast<int>(code));
            break;
        }
        zo_say("Result not ready (%d)\n", static_cast<int>(code));
        sleep(1);
    }
    if (code != CURLE_OK) return fail_code(code);
    if (_unzip_data(&download.buffer, &target) != 0)
        return fail("Result payload could not be decoded");
    return 0;
}

}  // namespace

extern "C" zo_status_t _online_fetch_complete_subset_sum(const uint64_t *input, size_t input_length,
                                                         uint64_t *output, size_t *output_size,
                                                         char *err_buf) {
    // No C++ exception may cross into C callers; the owners have released everything by here.
    try {
        return exchange(input, input_length, output, output_size, err_buf);
    } catch (...) {
        _safe_copy_to_err_buff("[Local failure] out of memory", err_buf);
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Background solve worker

extern "C" void *fetch_complete_subset_sum_async_helper(void *job_arg) {
    const zo_solve_job_t job = *static_cast<zo_solve_job_t *>(job_arg);
    free(job_arg);

    char err_buf[ZO_ERR_BUF_SIZE] = {0};
    uint64_t *output = nullptr;
    size_t capacity = 0;
    zo_status_t status = -1;
    uint64_t total = 0;
    bool wrapped = false;
    for (size_t i = 0; i < job.input_length && !wrapped; i++)
        wrapped = __builtin_add_overflow(total, job.input[i], &total);
    if (wrapped) {
        // A wrapped total would size the output too small for the sums.
        _safe_copy_to_err_buff("[Local failure] total of the values exceeds 2^64 - 1", err_buf);
    } else {
        capacity = static_cast<size_t>(total / 64 + 1);
        // Zeroed, so that no word a solver leaves unwritten reaches the callback as stale memory.
        output = static_cast<uint64_t *>(calloc(capacity, sizeof(uint64_t)));
        if (output == nullptr) {
            capacity = 0;
            _safe_copy_to_err_buff("[Local failure] not enough memory for the result", err_buf);
        } else {
            status = fetch_complete_subset_sum(job.input, job.input_length, output, &capacity,
                                               err_buf);
        }
    }
    free(job.input);

    char *err_str = nullptr;
    if (status != 0) {
        err_str = static_cast<char *>(malloc(strlen(err_buf) + 1));
        if (err_str != nullptr) strcpy(err_str, err_buf);
    }
    // Nothing here may need unwinding after the call: the interpreter can end this thread inside
    // the callback when it shuts down.
    job.callback(status, output, capacity, job.context, err_str);
    return nullptr;
}

extern "C" zo_status_t fetch_complete_subset_sum_async(uint64_t *input, size_t input_length,
                                                       zo_completion_cb_t callback,
                                                       void *context) {
    auto *job = static_cast<zo_solve_job_t *>(malloc(sizeof(zo_solve_job_t)));
    if (job == nullptr) return -1;
    *job = zo_solve_job_t{input, input_length, callback, context};

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free(job);
        return -1;
    }
    pthread_t thread;
    int started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (started == 0)
        started = pthread_create(&thread, &attr, fetch_complete_subset_sum_async_helper, job);
    pthread_attr_destroy(&attr);
    if (started != 0) {
        free(job);
        return -1;
    }
    return 0;
}
