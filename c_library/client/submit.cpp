// The submit: posts the problem, scans the service's answer for the request identifier, and
// tries again at once after a time-out or a failed TLS connect, and once after a kept-alive
// connection closed before the service can have had the whole problem.
#include <cstdlib>
#include <cstring>
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

// Bodies below this go out in the same write as the head (libcurl does so for posted fields
// under 64 KiB): one TLS record, one packet.
constexpr size_t one_write_body = 64 * 1024;

// The body as libcurl sends it: with the head in one write, or through the read callback.
struct Upload {
    const char *data;
    size_t length;
    size_t handed;
    bool one_write;
    int connections;
    bool refused_resend;  // libcurl was stopped from sending it again on a new connection
};

#if LIBCURL_VERSION_NUM >= 0x075000
// Called on each connection a transfer goes over: a second one is libcurl about to send the
// problem again after the kept one closed. That is the exchange's decision, not libcurl's.
int refuse_resend(void *userp, char *, char *, int, int) {
    auto *upload = static_cast<Upload *>(userp);
    if (upload->connections++ == 0) return CURL_PREREQFUNC_OK;
    upload->refused_resend = true;
    return CURL_PREREQFUNC_ABORT;
}
#endif

size_t read_body(char *dest, size_t size, size_t count, void *userp) {
    auto *upload = static_cast<Upload *>(userp);
    const size_t room = count != 0 && size > SIZE_MAX / count ? SIZE_MAX : size * count;
    const size_t left = upload->length - upload->handed;
    const size_t n = left < room ? left : room;
    memcpy(dest, upload->data + upload->handed, n);
    upload->handed += n;
    return n;
}

struct SubmitHop {
    zo_submit_response_t *record;
    FailureRecord *report;
};

size_t scan_submit_answer(char *data, size_t size, size_t count, void *userp) {
    auto *hop = static_cast<SubmitHop *>(userp);
    if (size == 1) hop->report->keep_service_message(data, count);
    return make_request_write_callback(data, size, count, hop->record);
}

// The exchange, not libcurl, decides when a problem is sent again: a small body goes with the head,
// and a second connection is refused before anything is sent on it; a large one goes through a
// read callback with no way to rewind it.
CURLcode submit_once(CURL *h, const std::string &url, curl_slist *headers, Upload *upload,
                     SubmitHop *hop, const Transfer &transfer, DownloadLimit *limit) {
    CURLcode rc = zo::set_common_options(h, url, headers, transfer, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(upload->length));
#if LIBCURL_VERSION_NUM >= 0x075000
    if (rc == CURLE_OK && upload->one_write) {
        rc = curl_easy_setopt(h, CURLOPT_POSTFIELDS, upload->data);
        if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, refuse_resend);
        if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PREREQDATA, upload);
    }
#endif
    if (rc == CURLE_OK && !upload->one_write)
        rc = curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
    if (rc == CURLE_OK && !upload->one_write) rc = curl_easy_setopt(h, CURLOPT_READDATA, upload);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, scan_submit_answer);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, hop);
    if (rc == CURLE_OK) rc = transfer.driver.perform();
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
    bool reconnected = false;
    const size_t length = strlen(body);
#if LIBCURL_VERSION_NUM >= 0x075000
    const bool one_write = length < one_write_body;
#else
    const bool one_write = false;
#endif
    for (int attempt = 0; attempt < submit_attempts + (reconnected ? 1 : 0); attempt++) {
        if (deadline.passed()) {
            report.note("the deadline passed during the submit, after %d attempts", attempt);
            if (attempt > 0) report.note_curl(code);
            return report.fail_deadline(timeout_s);
        }
        // An identifier from an attempt that failed is not the service's answer.
        request_id[0] = '\0';
        limit.exceeded = false;
        CURL *h = transfer.driver.start();
        if (h == nullptr) return report.fail("[Local failure] curl failed to generate");
        Upload upload{body, length, 0, one_write, 0, false};
        code = submit_once(h, url, headers, &upload, &hop, transfer, &limit);
        if (code == CURLE_OK) break;
        if (upload.refused_resend) code = CURLE_GOT_NOTHING;
        if (!reconnected && (upload.refused_resend || closed_before_answer(h, code))) {
            // The kept connection closed before any answer: most often the service dropped it
            // as idle while this request was on its way. Like every HTTP client, send once more
            // on a new connection; should the service have taken the first, the extra job is
            // never polled and expires.
            reconnected = true;
            continue;
        }
        if (code == CURLE_SEND_FAIL_REWIND) code = CURLE_GOT_NOTHING;
        if (!_curl_transient_err(code)) break;
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
