// Submit-and-poll exchange: the remote branch of the front door.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <chrono>
#include <cmath>
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
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "zo_internal.h"

using zo::Malloced;
using zo::Slist;
using zo::starts_with;

namespace {

constexpr const char *default_service_url = "https://localhost:8443";
constexpr int submit_attempts = 5;
constexpr int poll_attempts = 60;
constexpr long connect_timeout_ms = 30 * 1000;
// A transfer that delivers no byte for this long ends with a time-out instead of hanging.
constexpr long stall_time_s = 60;
// Redirects one poll attempt may follow before the whole call fails.
constexpr int max_redirects = 5;
// Room for gzip's framing and stored-block overhead on top of the result's own bytes.
constexpr curl_off_t download_allowance = 65536;
// Far more than any submit answer needs (an identifier of at most 1999 characters or a message).
constexpr curl_off_t submit_answer_limit = 65536;
// Idle connections the share keeps open; concurrent solves beyond that reconnect.
constexpr long kept_connections = 32;

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

// One process-wide share of connections, TLS sessions and name lookups, so that the submit and
// the polls of a solve, and consecutive solves, reuse one verified connection. Each kind of data
// has its own lock. Never released: worker threads may still use it when the process exits.
struct Share {
    CURLSH *handle = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];
};

void lock_share(CURL *, curl_lock_data data, curl_lock_access, void *userp) {
    static_cast<Share *>(userp)->locks[data].lock();
}

void unlock_share(CURL *, curl_lock_data data, void *userp) {
    static_cast<Share *>(userp)->locks[data].unlock();
}

Share *make_share() {
    auto *share = new (std::nothrow) Share;
    if (share == nullptr) return nullptr;
    share->handle = curl_share_init();
    bool ok = share->handle != nullptr;
    for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION,
                                CURL_LOCK_DATA_DNS})
        ok = ok && curl_share_setopt(share->handle, CURLSHOPT_SHARE, data) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share->handle, CURLSHOPT_LOCKFUNC, lock_share) == CURLSHE_OK &&
         curl_share_setopt(share->handle, CURLSHOPT_UNLOCKFUNC, unlock_share) == CURLSHE_OK &&
         curl_share_setopt(share->handle, CURLSHOPT_USERDATA, share) == CURLSHE_OK;
    if (!ok) {
        if (share->handle != nullptr) curl_share_cleanup(share->handle);
        delete share;
        return nullptr;
    }
    return share;
}

std::once_flag curl_initialised;
std::atomic<Share *> process_share{nullptr};

// A forked child must not talk over its parent's connections (nor wait on its parent's locks):
// it starts a share of its own, and leaves the parent's untouched.
void renew_share_in_child() { process_share.store(make_share()); }

// libcurl's global set-up and the share, once per process. NULL when the share could not be
// made: transfers then go unshared.
CURLSH *shared_handle() {
    std::call_once(curl_initialised, [] {
        curl_global_init(CURL_GLOBAL_ALL);
        process_share.store(make_share());
        pthread_atfork(nullptr, nullptr, renew_share_in_child);
    });
    Share *share = process_share.load();
    return share != nullptr ? share->handle : nullptr;
}

}  // namespace

extern "C" void zo_client_init(void) { shared_handle(); }

namespace {

// The end of the call: every transfer, retry and sleep fits before it.
class Deadline {
  public:
    // Beyond a century is as good as none, and keeps the clock's arithmetic in range.
    explicit Deadline(double seconds)
        : end_(std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds < 3e9 ? seconds : 3e9))) {}
    long long ms_left() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   end_ - std::chrono::steady_clock::now())
            .count();
    }
    // Less than a millisecond left is nothing left: transfers are timed in milliseconds.
    bool passed() const { return ms_left() <= 0; }
    // Sleeps `ms`, or what is left if that is less.
    void sleep_at_most(long long ms) const {
        long long left = ms_left();
        if (left < ms) ms = left;
        if (ms <= 0) return;
        timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }

  private:
    std::chrono::steady_clock::time_point end_;
};

// What every transfer of one call shares.
struct Transfer {
    const zo_solve_config_t *config;
    const Deadline &deadline;
};

std::string service_base(const zo_solve_config_t *config) {
    std::string base = config->service_url != nullptr ? config->service_url : default_service_url;
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

// The certificate bundle to trust: ZO_CA_BUNDLE when set, else the first of the search paths.
// Empty when there is none.
std::string ca_bundle(const zo_solve_config_t *config) {
    if (config->ca_bundle != nullptr) {
        struct stat st;
        return stat(config->ca_bundle, &st) == 0 ? std::string(config->ca_bundle) : std::string();
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
    bool exceeded;
};

// Ends a transfer whose answer outgrows what it may be (for a poll: any valid payload for the
// caller's capacity).
int stop_oversized_download(void *userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                            curl_off_t) {
    auto *limit = static_cast<DownloadLimit *>(userp);
    if (dltotal > limit->max_bytes || dlnow > limit->max_bytes) limit->exceeded = true;
    return limit->exceeded ? 1 : 0;
}

DownloadLimit download_limit(size_t capacity_words) {
    constexpr curl_off_t most = std::numeric_limits<curl_off_t>::max();
    const curl_off_t headroom = most - download_allowance;
    if (capacity_words > static_cast<uint64_t>(headroom) / 9) return {most, false};
    const curl_off_t bytes = static_cast<curl_off_t>(capacity_words) * 8;
    return {bytes + bytes / 128 + download_allowance, false};
}

// Options every transfer shares: whom to trust, where it may go and how long it may take.
CURLcode set_common_options(CURL *h, const std::string &url, const std::string &ca,
                            curl_slist *headers, const Transfer &transfer, DownloadLimit *limit) {
    const Deadline &deadline = transfer.deadline;
    CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // Given explicitly, so that libcurl reads no proxy variable on this thread.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROXY, transfer.config->proxy);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOPROXY, transfer.config->no_proxy);
    CURLSH *share = shared_handle();
    if (rc == CURLE_OK && share != nullptr) rc = curl_easy_setopt(h, CURLOPT_SHARE, share);
    // The cache limit applies to the whole share, which holds every solve's connections.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_MAXCONNECTS, kept_connections);
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
    // The whole transfer ends by the call's deadline, whatever the peer trickles.
    const long long left = deadline.ms_left() > 1 ? deadline.ms_left() : 1;
    const long transfer_ms = left < LONG_MAX ? static_cast<long>(left) : LONG_MAX;
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, transfer_ms);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                              transfer_ms < connect_timeout_ms ? transfer_ms : connect_timeout_ms);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, stop_oversized_download);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFODATA, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_time_s);
    // Worker threads run exchanges too: no signals for name-resolution time-outs.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    return rc;
}

// The text of a {"message":...} answer piece, as far as the piece holds it; `dest` is left as it
// was for any other piece.
void note_service_message(const char *data, size_t len, char *dest, size_t room) {
    if (!starts_with(data, len, "{\"message\"")) return;
    size_t p = 10;
    while (p < len && (data[p] == ':' || data[p] == ' ')) p++;
    const bool quoted = p < len && data[p] == '"';
    if (quoted) p++;
    size_t n = 0;
    while (p < len && n + 1 < room && data[p] != (quoted ? '"' : ',') && (quoted || data[p] != '}'))
        dest[n++] = data[p++];
    dest[n] = '\0';
}

struct SubmitHop {
    zo_submit_response_t *record;
    char *service_message;  // room for ZO_MESSAGE_SIZE characters
};

constexpr size_t message_room = sizeof(zo_failure_t::service_message);

size_t scan_submit_answer(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<SubmitHop *>(userp);
    if (size == 1) note_service_message(data, count, hop->service_message, message_room);
    return make_request_write_callback(data, size, count, hop->record);
}

CURLcode submit_once(CURL *h, const std::string &url, const std::string &ca, curl_slist *headers,
                     const char *body, SubmitHop *hop, const Transfer &transfer,
                     DownloadLimit *limit) {
    CURLcode rc = set_common_options(h, url, ca, headers, transfer, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, scan_submit_answer);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
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
    char *service_message;  // room for message_room characters
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
    if (size == 1) note_service_message(data, count, hop->service_message, message_room);
    return write_memory_callback(data, size, count, hop->buffer);
}

CURLcode poll_once(CURL *h, const std::string &url, const std::string &ca, curl_slist *headers,
                   PollHop *hop, const Transfer &transfer, DownloadLimit *limit) {
    CURLcode rc = set_common_options(h, url, ca, headers, transfer, limit);
    // Redirects are followed by hand, so each target is checked before anything is sent there.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect_poll_body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, note_poll_header);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERDATA, hop);
    if (rc == CURLE_OK) rc = curl_easy_perform(h);
    return rc;
}

// One poll attempt: the poll address, then the redirects it leads to. Only https targets are
// followed, at most max_redirects of them, and the key lines go only to the service's own origin.
// *no_handle is set when an easy handle could not be made.
CURLcode poll_attempt(const std::string &poll_url, const Origin *service, const std::string &ca,
                      curl_slist *key_headers, zo_download_buffer_t *buffer, char *service_message,
                      const Transfer &transfer, DownloadLimit *limit, bool *no_handle) {
    std::string url = poll_url;
    curl_slist *headers = key_headers;
    for (int redirects = 0;; redirects++) {
        if (redirects > 0 && transfer.deadline.passed()) return CURLE_OPERATION_TIMEDOUT;
        Easy h(curl_easy_init());
        if (!h) {
            *no_handle = true;
            return CURLE_FAILED_INIT;
        }
        PollHop hop{buffer, service_message, 0, false};
        const CURLcode rc = poll_once(h.get(), url, ca, headers, &hop, transfer, limit);
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

// Reports a failure: the message into the caller's error buffer (through the one routine that
// does so), the details into the failure record when the caller keeps one.
class Failures {
  public:
    Failures(char *err_buf, zo_failure_t *out) : err_buf_(err_buf), out_(out) {
        record_.curl_code = -1;
        set_phase("prepare");
    }
    zo_failure_t &record() { return record_; }
    void set_phase(const char *phase) {
        snprintf(record_.phase, sizeof record_.phase, "%s", phase);
    }
    // Adds to the note; the note is one sentence, its parts joined by "; ".
    void note(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        const size_t used = strlen(record_.note);
        if (used + 3 >= sizeof record_.note) return;
        char *at = record_.note + used;
        size_t room = sizeof record_.note - used;
        if (used > 0) {
            memcpy(at, "; ", 3);
            at += 2;
            room -= 2;
        }
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(at, room, fmt, ap);
        va_end(ap);
    }
    void note_curl(CURLcode code) {
        record_.curl_code = static_cast<int>(code);
        snprintf(record_.curl_words, sizeof record_.curl_words, "%s", curl_easy_strerror(code));
        note("curl error %d: %s", static_cast<int>(code), curl_easy_strerror(code));
    }
    void note_last_answer() {
        if (record_.service_message[0] != '\0')
            note("last answer: %s", record_.service_message);
    }
    zo_status_t fail(const char *msg) {
        _safe_copy_to_err_buff(msg, err_buf_);
        if (out_ != nullptr) *out_ = record_;
        return -1;
    }

  private:
    char *err_buf_;
    zo_failure_t *out_;
    zo_failure_t record_{};
};

zo_status_t exchange(const zo_solve_config_t *config, const uint64_t *input, size_t input_length,
                     uint64_t *output, size_t *output_size, Failures &report) {
    auto fail = [&report](const char *msg) { return report.fail(msg); };
    auto fail_code = [&report](CURLcode code) {
        char msg[64];
        snprintf(msg, sizeof msg, "Submit problem curl failed with %d", static_cast<int>(code));
        return report.fail(msg);
    };
    zo_failure_t &failure = report.record();
    const double timeout_s = config->timeout_s;
    auto fail_deadline = [&]() {
        failure.deadline_passed = 1;
        char msg[96];
        snprintf(msg, sizeof msg, "Solve did not finish within ZO_TIMEOUT (%g s)", timeout_s);
        return report.fail(msg);
    };
    if (!(timeout_s > 0) || !std::isfinite(timeout_s))
        return fail("[Local failure] ZO_TIMEOUT is not a positive number of seconds");
    const Deadline deadline(timeout_s);
    const Transfer transfer{config, deadline};
    const std::string base = service_base(config);

    Slist submit_headers(zo_key_headers(1, config->api_key));
    if (!submit_headers) return fail("[Local failure] slist failed to generate");
    Malloced<char> body(_generate_curl_data(input, input_length));
    if (!body) return fail("[Local failure] postdata failed to generate");
    const std::string ca = ca_bundle(config);
    if (ca.empty()) return fail("Couldn't find ca cert");

    // A total past 64 bits cannot be checked against; its callers refuse it before the solve.
    uint64_t total = 0;
    bool total_known = true;
    for (size_t i = 0; i < input_length && total_known; i++)
        total_known = !__builtin_add_overflow(total, input[i], &total);

    report.set_phase("submit");
    char request_id[ZO_REQUEST_ID_SIZE] = {0};
    SubmitResponseOwner submit{{0, request_id, nullptr}};
    SubmitHop submit_hop{&submit.record, failure.service_message};
    const std::string submit_url = base + "/v0/app/sspu";
    CURLcode code = CURLE_OK;
    DownloadLimit submit_limit{submit_answer_limit, false};
    for (int attempt = 0; attempt < submit_attempts; attempt++) {
        if (deadline.passed()) {
            report.note("the deadline passed during the submit, after %d attempts", attempt);
            if (attempt > 0) report.note_curl(code);
            return fail_deadline();
        }
        // An identifier from an attempt that failed is not the service's answer.
        request_id[0] = '\0';
        submit_limit.exceeded = false;
        Easy h(curl_easy_init());
        if (!h) return fail("[Local failure] curl failed to generate");
        code = submit_once(h.get(), submit_url, ca, submit_headers.get(), body.get(), &submit_hop,
                           transfer, &submit_limit);
        if (code == CURLE_OK || !_curl_transient_err(code)) break;
    }
    if (code != CURLE_OK && submit.record.status != 0 && submit.record.err_str != nullptr) {
        if (failure.service_message[0] != '\0')
            report.note("the service answered the submit with a message: %s",
                        failure.service_message);
        return fail(submit.record.err_str);
    }
    if (code == CURLE_OPERATION_TIMEDOUT && deadline.passed()) {
        report.note("the deadline passed during the submit");
        report.note_curl(code);
        return fail_deadline();
    }
    if (code != CURLE_OK) {
        report.note("the submit failed");
        if (submit_limit.exceeded)
            report.note("its answer grew past %lld bytes", static_cast<long long>(submit_answer_limit));
        report.note_curl(code);
        return fail_code(code);
    }
    if (request_id[0] == '\0') return fail("Submit response has no requestId");
    submit_headers.reset();
    body.reset();

    report.set_phase("poll");
    failure.service_message[0] = '\0';
    const std::string poll_url = base + "/v0/result?requestId=" + url_escape(request_id);
    // An address that cannot be parsed has no origin to match: redirects then go without the key.
    Origin service;
    const bool service_known = parse_address(base.c_str(), &service, nullptr);
    Slist poll_headers(zo_key_headers(2, config->api_key));
    if (!poll_headers) return fail("[Local failure] slist failed to generate");
    zo_unpack_target_t target{output, output_size};
    DownloadLimit limit = download_limit(*output_size);
    DownloadOwner download;
    int attempts = 0;
    for (; attempts < poll_attempts; attempts++) {
        if (deadline.passed()) {
            report.note("the deadline passed while the result poll waited, after %d not-ready "
                        "answers", failure.not_ready_polls);
            report.note_last_answer();
            return fail_deadline();
        }
        // Bytes of a failed attempt never reach the result.
        download.clear();
        bool no_handle = false;
        code = poll_attempt(poll_url, service_known ? &service : nullptr, ca, poll_headers.get(),
                            &download.buffer, failure.service_message, transfer, &limit,
                            &no_handle);
        if (no_handle) return fail("[Local failure] curl failed to generate");
        if (code == CURLE_OK) break;
        if (code == CURLE_OPERATION_TIMEDOUT && deadline.passed()) {
            report.note("the deadline passed during the result poll, after %d not-ready answers",
                        failure.not_ready_polls);
            report.note_last_answer();
            report.note_curl(code);
            return fail_deadline();
        }
        if (code != CURLE_WRITE_ERROR && !_curl_transient_err(code)) {
            zo_say("result fetch Curl failed with %d\n", static_cast<int>(code));
            report.note("the result poll failed");
            if (limit.exceeded)
                report.note("its answer grew past %lld bytes", static_cast<long long>(limit.max_bytes));
            report.note_curl(code);
            report.note_last_answer();
            return fail_code(code);
        }
        failure.not_ready_polls++;
        zo_say("Result not ready (%d)\n", static_cast<int>(code));
        deadline.sleep_at_most(1000);
    }
    if (code != CURLE_OK) {
        report.note("the result poll gave up after %d not-ready answers", failure.not_ready_polls);
        report.note_last_answer();
        failure.curl_code = static_cast<int>(code);
        snprintf(failure.curl_words, sizeof failure.curl_words, "%s", curl_easy_strerror(code));
        return fail_code(code);
    }
    report.set_phase("payload");
    const int unpacked = total_known ? zo_unpack_checked(&download.buffer, &target, total)
                                     : _unzip_data(&download.buffer, &target);
    if (unpacked == -2) {
        report.note("the result payload has bits that no set of values adding up to %llu can "
                    "give (bit 0 and bit %llu set, none above, s set exactly when %llu - s is)",
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(total));
        return fail("Result payload is not a valid sum set");
    }
    if (unpacked != 0) {
        report.note("the result payload is not one complete gzip stream");
        return fail("Result payload could not be decoded");
    }
    return 0;
}

}  // namespace

extern "C" zo_status_t zo_online_solve(const zo_solve_config_t *config, const uint64_t *input,
                                       size_t input_length, uint64_t *output, size_t *output_size,
                                       char *err_buf, zo_failure_t *failure) {
    Failures report(err_buf, failure);
    // No C++ exception may cross into C callers; the owners have released everything by here.
    try {
        return exchange(config, input, input_length, output, output_size, report);
    } catch (...) {
        return report.fail("[Local failure] out of memory");
    }
}
