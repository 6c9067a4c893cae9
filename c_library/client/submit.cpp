// The submit: posts the problem, scans the service's answer for the request identifier, and
// tries again at once after a time-out or a failed TLS connect.
#include <cstdlib>
#include <string>

#include <curl/curl.h>

#include "client/pool.h"
#include "client/steps.h"

namespace {

using zo::DownloadLimit;
using zo::FailureRecord;
using zo::Transfer;

constexpr int submit_attempts = 5;

// Releases the scanner's failure text on every path.
struct SubmitResponseOwner {
    zo_submit_response_t record;
    ~SubmitResponseOwner() { free(record.err_str); }
};

struct SubmitHop {
    zo_submit_response_t *record;
    FailureRecord *report;
};

size_t scan_submit_answer(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<SubmitHop *>(userp);
    if (size == 1) hop->report->keep_service_message(data, count);
    return make_request_write_callback(data, size, count, hop->record);
}

CURLcode submit_once(CURL *h, const std::string &url, curl_slist *headers, const char *body,
                     SubmitHop *hop, const Transfer &transfer, DownloadLimit *limit) {
    CURLcode rc = zo::set_common_options(h, url, headers, transfer, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, scan_submit_answer);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
    if (rc == CURLE_OK) rc = zo::perform(h);
    return rc;
}

}  // namespace

namespace zo {

zo_status_t submit_problem(const Transfer &transfer, const char *path, curl_slist *headers,
                           const char *body, char *request_id, FailureRecord &report) {
    report.set_phase("submit");
    const Deadline &deadline = transfer.deadline;
    const double timeout_s = transfer.config->timeout_s;
    SubmitResponseOwner submit{{0, request_id, nullptr}};
    SubmitHop hop{&submit.record, &report};
    const std::string url = transfer.base + path;
    CURLcode code = CURLE_OK;
    DownloadLimit limit{submit_answer_limit, false};
    for (int attempt = 0; attempt < submit_attempts; attempt++) {
        if (deadline.passed()) {
            report.note("the deadline passed during the submit, after %d attempts", attempt);
            if (attempt > 0) report.note_curl(code);
            return report.fail_deadline(timeout_s);
        }
        // An identifier from an attempt that failed is not the service's answer.
        request_id[0] = '\0';
        limit.exceeded = false;
        Easy h(curl_easy_init());
        if (!h) return report.fail("[Local failure] curl failed to generate");
        code = submit_once(h.get(), url, headers, body, &hop, transfer, &limit);
        if (code == CURLE_OK || !_curl_transient_err(code)) break;
    }
    if (code != CURLE_OK && submit.record.status != 0 && submit.record.err_str != nullptr) {
        if (report.has_service_message())
            report.note("the service answered the submit with a message: %s",
                        report.record().service_message);
        return report.fail(submit.record.err_str);
    }
    if (code == CURLE_OPERATION_TIMEDOUT && deadline.passed()) {
        report.note("the deadline passed during the submit");
        report.note_curl(code);
        return report.fail_deadline(timeout_s);
    }
    if (code != CURLE_OK) {
        report.note("the submit failed");
        if (limit.exceeded)
            report.note("its answer grew past %lld bytes", static_cast<long long>(limit.max_bytes));
        report.note_curl(code);
        return report.fail_curl(code);
    }
    if (request_id[0] == '\0') return report.fail("Submit response has no requestId");
    return 0;
}

}  // namespace zo
