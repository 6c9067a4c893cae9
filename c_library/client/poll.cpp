// The result poll: asks for the payload with attempts at least a second apart, at most
// poll_attempts of them, following the redirects the rules allow, until the payload arrives, the
// service says the job is gone, or the call fails.
#include <chrono>
#include <memory>
#include <string>

#include <curl/curl.h>

#include "client/pool.h"
#include "client/redirect.h"
#include "client/steps.h"

namespace {

using zo::AnswerHead;
using zo::DownloadLimit;
using zo::FailureRecord;
using zo::Transfer;

constexpr int poll_attempts = ZO_POLL_ATTEMPTS;
constexpr long long poll_interval_ms = ZO_POLL_INTERVAL_MS;
// The service's final answer for a job that failed or was lost: never ready, ask no more.
constexpr long gone_status = ZO_GONE_STATUS;

// One answer in flight: its head, and where its body goes.
struct PollHop {
    AnswerHead head;
    zo_download_buffer_t *buffer;
    FailureRecord *report;
    bool gone_body_started;
};

// A redirect's own body is no result: it is read (within the download bound) and dropped. So is
// a final answer's, but for its message.
size_t collect_poll_body(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<PollHop *>(userp);
    if (hop->head.redirect()) return size * count;
    if (hop->head.status == gone_status) {
        if (!hop->gone_body_started) hop->report->forget_service_message();
        hop->gone_body_started = true;
        if (size == 1) hop->report->keep_service_message(data, count);
        return size * count;
    }
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
    if (rc == CURLE_OK) rc = transfer.driver.perform();
    return rc;
}

struct AttemptEnd {
    CURLcode code = CURLE_OK;
    bool no_handle = false;  // an easy handle could not be made
    bool gone = false;       // the service answered that the job will never finish
};

// One poll attempt: the poll address, then the redirects it leads to. A request whose kept-alive
// connection was closed before any answer is sent once more.
AttemptEnd poll_attempt(const std::string &poll_url, const std::string &service,
                        curl_slist *key_headers, zo::DownloadOwner &download,
                        FailureRecord &report, const Transfer &transfer, DownloadLimit *limit) {
    AttemptEnd end;
    std::string url = poll_url;
    curl_slist *headers = key_headers;
    bool reconnected = false;
    for (int hops = 0;;) {
        if ((hops > 0 || reconnected) && transfer.deadline.passed()) {
            end.code = CURLE_OPERATION_TIMEDOUT;
            return end;
        }
        CURL *h = transfer.driver.start();
        if (h == nullptr) {
            end.no_handle = true;
            end.code = CURLE_FAILED_INIT;
            return end;
        }
        PollHop hop{AnswerHead{}, &download.buffer, &report, false};
        end.code = poll_once(h, url, headers, &hop, transfer, limit);
        if (end.code != CURLE_OK && !reconnected && zo::closed_before_answer(h, end.code)) {
            reconnected = true;
            download.clear();
            continue;
        }
        if (end.code != CURLE_OK) return end;
        if (!zo::redirected(h, hops, service, key_headers, &end.code, &url, &headers)) {
            end.gone = hop.head.status == gone_status;
            return end;
        }
        // Should the head have been read otherwise, nothing of this answer stays either.
        download.clear();
        if (end.code != CURLE_OK) return end;
        hops++;
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
    // Every byte but the unreserved ones percent-encoded; libcurl needs no handle for it.
    const std::unique_ptr<char, decltype(&curl_free)> escaped_id(
        curl_easy_escape(nullptr, request_id, 0), &curl_free);
    if (!escaped_id) return report.fail("[Local failure] out of memory");
    const std::string poll_url =
        transfer.base + ZO_RESULT_PATH "?" ZO_REQUEST_ID_KEY "=" + escaped_id.get();
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
        const auto started = std::chrono::steady_clock::now();
        const AttemptEnd end = poll_attempt(poll_url, transfer.base, headers.get(), download,
                                            report, transfer, &limit);
        code = end.code;
        if (end.no_handle) return report.fail("[Local failure] curl failed to generate");
        if (end.gone) {
            report.note("the service answered the result poll with %ld: the job failed or was "
                        "lost, and will not finish", gone_status);
            if (report.has_service_message()) return report.fail(failure.service_message);
            char gone[48];
            snprintf(gone, sizeof gone, "Result is gone (HTTP %ld)", gone_status);
            return report.fail(gone);
        }
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
        // Attempts start a second apart: an answer the service held back for a while already
        // took part of that second.
        const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
        deadline.sleep_at_most(took < poll_interval_ms ? poll_interval_ms - took : 0);
    }
    report.note("the result poll gave up after %d not-ready answers", failure.not_ready_polls);
    report.note_last_answer();
    report.record_curl(code);
    return report.fail_curl(code);
}

}  // namespace zo
