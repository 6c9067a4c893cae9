// The one failure record: fills the caller's error buffer and zo_failure_t, and nothing else does.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <curl/curl.h>

#include "client/pool.h"
#include "zo_internal.h"

namespace {

// Callers pass NULL only when formatting their message ran out of memory.
const char *message_or_out_of_memory(const char *msg) {
    return msg != nullptr ? msg : "[Local failure] out of memory";
}

void copy_to_err_buf(const char *msg, char *err_buf) {
    if (err_buf == nullptr) return;
    // strncpy zero-fills the rest of the text's bytes; the last byte always ends the text.
    strncpy(err_buf, msg, ZO_ERR_BUF_SIZE - 1);
    err_buf[ZO_ERR_BUF_SIZE - 1] = '\0';
}

}  // namespace

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf) {
    msg = message_or_out_of_memory(msg);
    zo_say("Failed with error: %s\n", msg);
    copy_to_err_buf(msg, err_buf);
}

extern "C" zo_status_t zo_fail_plainly(const char *phase, const char *msg, char *err_buf,
                                       zo_failure_t *failure) {
    zo::FailureRecord report(err_buf, failure);
    report.set_phase(phase);
    return report.fail(msg);
}

namespace zo {

FailureRecord::FailureRecord(char *err_buf, zo_failure_t *out) : err_buf_(err_buf), out_(out) {
    record_.curl_code = -1;
    set_phase("prepare");
}

void FailureRecord::set_phase(const char *phase) {
    snprintf(record_.phase, sizeof record_.phase, "%s", phase);
}

void FailureRecord::note(const char *fmt, ...) {
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

void FailureRecord::record_curl(int code) {
    record_.curl_code = code;
    snprintf(record_.curl_words, sizeof record_.curl_words, "%s",
             curl_easy_strerror(static_cast<CURLcode>(code)));
}

void FailureRecord::note_curl(int code) {
    record_curl(code);
    note("curl error %d: %s", code, record_.curl_words);
}

void FailureRecord::note_last_answer() {
    if (has_service_message()) note("last answer: %s", record_.service_message);
}

void FailureRecord::keep_service_message(const char *data, size_t len) {
    static constexpr char opening[] = "{\"" ZO_MESSAGE_KEY "\"";
    if (!starts_with(data, len, opening)) return;
    char *dest = record_.service_message;
    const size_t room = sizeof record_.service_message;
    size_t p = sizeof opening - 1;
    while (p < len && (data[p] == ':' || data[p] == ' ')) p++;
    const bool quoted = p < len && data[p] == '"';
    if (quoted) p++;
    size_t n = 0;
    while (p < len && n + 1 < room && data[p] != (quoted ? '"' : ',') && (quoted || data[p] != '}'))
        dest[n++] = data[p++];
    dest[n] = '\0';
}

zo_status_t FailureRecord::fail(const char *msg) {
    // Once the process's exit has stopped the client, nothing is left to read why an exchange
    // ended: it ends silently.
    if (client_stopping()) {
        copy_to_err_buf(message_or_out_of_memory(msg), err_buf_);
        if (out_ != nullptr) *out_ = record_;
        return -1;
    }
    _safe_copy_to_err_buff(msg, err_buf_);
    if (out_ != nullptr) *out_ = record_;
    return -1;
}

zo_status_t FailureRecord::fail_curl(int code) {
    char msg[64];
    snprintf(msg, sizeof msg, "Submit problem curl failed with %d", code);
    return fail(msg);
}

zo_status_t FailureRecord::fail_deadline(double timeout_s) {
    record_.deadline_passed = 1;
    char msg[96];
    snprintf(msg, sizeof msg, "Solve did not finish within ZO_TIMEOUT (%g s)", timeout_s);
    return fail(msg);
}

}  // namespace zo
