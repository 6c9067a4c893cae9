// Submit-and-poll exchange: the remote branch of the front door.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include <curl/curl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zo_internal.h"

using zo::Malloced;
using zo::Slist;
using zo::starts_with;

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
