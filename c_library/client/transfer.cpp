// One transfer's settings: the deadline, the service's address, the certificate bundle, the bound
// on an answer's size and the options every transfer of a call shares.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>
#include <string>

#include <curl/curl.h>
#include <sys/stat.h>
#include <time.h>

#include "client/pool.h"
#include "client/transfer.h"

namespace {

constexpr const char *default_service_url = "https://localhost:8443";
constexpr long connect_timeout_ms = 30 * 1000;
// A transfer that delivers no byte for this long ends with a time-out instead of hanging.
constexpr long stall_time_s = 60;
// Room for gzip's framing and stored-block overhead on top of the result's own bytes.
constexpr curl_off_t download_allowance = 65536;

}  // namespace

namespace zo {

// Beyond a century is as good as none, and keeps the clock's arithmetic in range.
Deadline::Deadline(double seconds)
    : end_(std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds < 3e9 ? seconds : 3e9))) {}

long long Deadline::ms_left() const {
    if (client_stopping()) return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(end_ -
                                                                 std::chrono::steady_clock::now())
        .count();
}

void Deadline::sleep_at_most(long long ms) const {
    long long left = ms_left();
    if (left < ms) ms = left;
    // In slices, so that the process's exit does not wait out a whole pause between polls.
    constexpr long long slice_ms = 50;
    while (ms > 0 && !client_stopping()) {
        const long long now = ms < slice_ms ? ms : slice_ms;
        timespec t{0, static_cast<long>(now) * 1000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
        ms -= now;
        check_interrupt();
    }
}

std::string service_base(const zo_solve_config_t *config) {
    std::string base = config->service_url != nullptr ? config->service_url : default_service_url;
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string ca_bundle(const zo_solve_config_t *config, bool *is_directory) {
    const char *path = config->ca_bundle != nullptr ? config->ca_bundle : _curl_ca_location();
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return std::string();
    *is_directory = S_ISDIR(st.st_mode);
    return std::string(path);
}

namespace {

// Ends a transfer whose answer outgrows what it may be (for a poll: any valid payload for the
// caller's capacity).
int stop_oversized_download(void *userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                            curl_off_t) {
    auto *limit = static_cast<DownloadLimit *>(userp);
    if (dltotal > limit->max_bytes || dlnow > limit->max_bytes) limit->exceeded = true;
    return limit->exceeded ? 1 : 0;
}

}  // namespace

DownloadLimit download_limit(size_t capacity_words) {
    constexpr curl_off_t most = std::numeric_limits<curl_off_t>::max();
    const curl_off_t headroom = most - download_allowance;
    if (capacity_words > static_cast<uint64_t>(headroom) / 9) return {most, false};
    const curl_off_t bytes = static_cast<curl_off_t>(capacity_words) * 8;
    return {bytes + bytes / 128 + download_allowance, false};
}

CURLcode set_common_options(CURL *h, const std::string &url, curl_slist *headers,
                            const Transfer &transfer, DownloadLimit *limit) {
    const std::string &ca = transfer.ca;
    const Deadline &deadline = transfer.deadline;
    CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // Given explicitly, so that libcurl reads no proxy variable on this thread.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROXY, transfer.config->proxy);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOPROXY, transfer.config->no_proxy);
    CURLSH *share = connection_share();
    if (rc == CURLE_OK && share != nullptr) rc = curl_easy_setopt(h, CURLOPT_SHARE, share);
    if (rc == CURLE_OK && transfer.ca_is_directory) {
        // A directory of hashed certificates cannot serve as a bundle file.
        rc = curl_easy_setopt(h, CURLOPT_CAINFO, static_cast<char *>(nullptr));
        if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CAPATH, ca.c_str());
    } else if (rc == CURLE_OK) {
        rc = curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
    }
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
#if LIBCURL_VERSION_NUM >= 0x075700
    // A kept multi handle would otherwise keep the certificates it read for a day: each new
    // connection reads the bundle as it is now, as when every transfer had a multi of its own.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
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

bool closed_before_answer(CURL *h, CURLcode code) {
    // No final answer: nothing came, or only an interim one (100 Continue).
    long status = 0, new_connections = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status >= 200)
        return false;
    // libcurl found the kept connection dead and would have sent the request again.
    if (code == CURLE_SEND_FAIL_REWIND) return true;
    if (code != CURLE_GOT_NOTHING && code != CURLE_SEND_ERROR && code != CURLE_RECV_ERROR)
        return false;
    return curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &new_connections) == CURLE_OK &&
           new_connections == 0;
}

}  // namespace zo
