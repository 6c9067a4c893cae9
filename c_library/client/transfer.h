// One transfer's settings: the call's deadline, whom to trust, where to go, how much an answer
// may hold, and the libcurl options every transfer of a call shares.
#ifndef ZO_CLIENT_TRANSFER_H
#define ZO_CLIENT_TRANSFER_H

#include <chrono>
#include <memory>
#include <string>

#include <curl/curl.h>

#include "zo_internal.h"

namespace zo {

struct EasyDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

// The end of the call: every transfer, retry and sleep fits before it.
class Deadline {
  public:
    explicit Deadline(double seconds);
    long long ms_left() const;
    // Less than a millisecond left is nothing left: transfers are timed in milliseconds.
    bool passed() const { return ms_left() <= 0; }
    // Sleeps `ms`, or what is left if that is less.
    void sleep_at_most(long long ms) const;

  private:
    std::chrono::steady_clock::time_point end_;
};

class Driver;

// What every transfer of one call shares.
struct Transfer {
    const zo_solve_config_t *config;
    const Deadline &deadline;
    std::string base;  // the service's address, without a trailing slash
    std::string ca;    // the certificate bundle (file or directory) to trust
    bool ca_is_directory;
    Driver &driver;  // the kept handles every transfer of the call runs on
};

// The service's address: ZO_SERVICE_URL, or the built-in one.
std::string service_base(const zo_solve_config_t *config);
// The certificate bundle to trust: ZO_CA_BUNDLE when set, else the first of the search paths;
// `*is_directory` says whether it is a directory of hashed certificates. Empty when there is none.
std::string ca_bundle(const zo_solve_config_t *config, bool *is_directory);

// How many bytes an answer may bring; `exceeded` is set when a transfer was ended for it.
struct DownloadLimit {
    curl_off_t max_bytes;
    bool exceeded;
};
// Far more than any submit answer needs (an identifier or a message).
constexpr curl_off_t submit_answer_limit = ZO_SUBMIT_ANSWER_MAX_BYTES;
// Any valid gzip payload for an output of `capacity_words` words fits.
DownloadLimit download_limit(size_t capacity_words);

// Options every transfer shares: whom to trust, where it may go and how long it may take.
CURLcode set_common_options(CURL *h, const std::string &url, curl_slist *headers,
                            const Transfer &transfer, DownloadLimit *limit);

// True when the transfer failed because the kept-alive connection it went over was closed before
// any answer came, so that the request may deserve one more attempt on a fresh connection.
// libcurl itself tries again at once while nothing of a request's body was sent; once some was,
// it cannot rewind a body it reads through a callback and ends with CURLE_SEND_FAIL_REWIND.
bool closed_before_answer(CURL *h, CURLcode code);

}  // namespace zo

#endif  // ZO_CLIENT_TRANSFER_H
