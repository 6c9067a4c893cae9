// The result poll: asks for the payload once a second, at most poll_attempts times, following the
// redirects the rules allow, until the payload arrives or the call fails.
#include <string>

#include <curl/curl.h>

#include "client/pool.h"
#include "client/redirect.h"
#include "client/steps.h"

namespace {

using zo::AnswerHead;
using zo::DownloadLimit;
using zo::FailureRecord;
using zo::Origin;
using zo::Transfer;

constexpr int poll_attempts = 60;

// One answer in flight: its head, and where its body goes.
struct PollHop {
    AnswerHead head;
    zo_download_buffer_t *buffer;
    FailureRecord *report;
};

// A redirect's own body is no result: it is read (within the download bound) and dropped.
size_t collect_poll_body(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<PollHop *>(userp);
    if (hop->head.redirect()) return size * count;
    if (size == 1) hop->report->keep_service_message(data, count);
    return write_memory_callback(data, size, count, hop->buffer);
}

CURLcode poll_once(CURL *h, const std::string &url, curl_slist *headers, PollHop *hop,
                   const Transfer &transfer, DownloadLimit *limit) {
    CURLcode rc = zo::set_common_options(h, url, headers, transfer, limit);
    // Redirects are followed by hand, so each target is checked before anything is sent there.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect_poll_body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, zo::note_answer_head);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERDATA, &hop->head);
    if (rc == CURLE_OK) rc = zo::perform(h);
    return rc;
}

// One poll attempt: the poll address, then the redirects it leads to. *no_handle is set when an
// easy handle could not be made.
CURLcode poll_attempt(const std::string &poll_url, const Origin *service, curl_slist *key_headers,
                      zo::DownloadOwner &download, FailureRecord &report,
                      const Transfer &transfer, DownloadLimit *limit, bool *no_handle) {
    std::string url = poll_url;
    curl_slist *headers = key_headers;
    for (int hops = 0;; hops++) {
        if (hops > 0 && transfer.deadline.passed()) return CURLE_OPERATION_TIMEDOUT;
        zo::Easy h(curl_easy_init());
        if (!h) {
            *no_handle = true;
            return CURLE_FAILED_INIT;
        }
        PollHop hop{AnswerHead{}, &download.buffer, &report};
        CURLcode rc = poll_once(h.get(), url, headers, &hop, transfer, limit);
        if (rc != CURLE_OK) return rc;
        if (!zo::redirected(h.get(), hops, service, key_headers, &rc, &url, &headers))
            return CURLE_OK;
        // Should the head have been read otherwise, nothing of this answer stays either.
        download.clear();
        if (rc != CURLE_OK) return rc;
    }
}

}  // namespace

namespace zo {

zo_status_t poll_result(const Transfer &transfer, const char *request_id, size_t capacity_words,
                        DownloadOwner &download, FailureRecord &report) {
    report.set_phase("poll");
    report.forget_service_message();
    zo_failure_t &failure = report.record();
    const Deadline &deadline = transfer.deadline;
    const double timeout_s = transfer.config->timeout_s;
    const std::string poll_url = transfer.base + "/v0/result?requestId=" + url_escape(request_id);
    // An address that cannot be parsed has no origin to match: redirects then go without the key.
    Origin service;
    const bool service_known = parse_address(transfer.base.c_str(), &service, nullptr);
    Slist headers(zo_key_headers(2, transfer.config->api_key));
    if (!headers) return report.fail("[Local failure] slist failed to generate");
    DownloadLimit limit = download_limit(capacity_words);
    CURLcode code = CURLE_OK;
    for (int attempt = 0; attempt < poll_attempts; attempt++) {
        if (deadline.passed()) {
            report.note("the deadline passed while the result poll waited, after %d not-ready "
                        "answers", failure.not_ready_polls);
            report.note_last_answer();
            return report.fail_deadline(timeout_s);
        }
        // Bytes of a failed attempt never reach the result.
        download.clear();
        bool no_handle = false;
        code = poll_attempt(poll_url, service_known ? &service : nullptr, headers.get(), download,
                            report, transfer, &limit, &no_handle);
        if (no_handle) return report.fail("[Local failure] curl failed to generate");
        if (code == CURLE_OK) return 0;
        if (code == CURLE_OPERATION_TIMEDOUT && deadline.passed()) {
            report.note("the deadline passed during the result poll, after %d not-ready answers",
                        failure.not_ready_polls);
            report.note_last_answer();
            report.note_curl(code);
            return report.fail_deadline(timeout_s);
        }
        if (code != CURLE_WRITE_ERROR && !_curl_transient_err(code)) {
            zo_say("result fetch Curl failed with %d\n", static_cast<int>(code));
            report.note("the result poll failed");
            if (limit.exceeded)
                report.note("its answer grew past %lld bytes",
                            static_cast<long long>(limit.max_bytes));
            report.note_curl(code);
            report.note_last_answer();
            return report.fail_curl(code);
        }
        failure.not_ready_polls++;
        zo_say("Result not ready (%d)\n", static_cast<int>(code));
        deadline.sleep_at_most(1000);
    }
    report.note("the result poll gave up after %d not-ready answers", failure.not_ready_polls);
    report.note_last_answer();
    report.record_curl(code);
    return report.fail_curl(code);
}

}  // namespace zo
