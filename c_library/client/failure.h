/* The one failure record: what a failed solve knows, carried from where it happens to the caller's
   error buffer and failure record. Nothing else writes either of them. */
#ifndef ZO_CLIENT_FAILURE_H
#define ZO_CLIENT_FAILURE_H

#include <stddef.h>

#include "../hdr/zo_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a failed solve knows beyond its message: where it failed and why, for callers that can
   show more than the 127 characters of the error buffer. */
typedef struct zo_failure {
    char phase[16];            /* "prepare", "submit", "poll", "payload", "local"; "" when none */
    int curl_code;             /* the transfer's code, -1 when no transfer failed */
    char curl_words[96];       /* curl's own words for curl_code, "" when none */
    int deadline_passed;       /* the call ran out of its ZO_TIMEOUT */
    int not_ready_polls;       /* not-ready answers the poll received */
    char service_message[512]; /* the last {"message":...} the service sent, "" when none */
    char note[768];            /* one sentence that says what happened, "" when none */
} zo_failure_t;

/* Prints "Failed with error: <msg>" and copies at most 127 characters of `msg` into `err_buf`
   (128 bytes, may be NULL), which always ends in a NUL. */
ZO_API void _safe_copy_to_err_buff(const char *msg, char *err_buf);

/* A failure with nothing to tell but its phase and message: reports `msg` as above and fills
   `failure` (may be NULL) with the phase alone. Returns -1. */
zo_status_t zo_fail_plainly(const char *phase, const char *msg, char *err_buf,
                            zo_failure_t *failure);

#ifdef __cplusplus
}

namespace zo {

/* The record of one remote call, filled in as it goes; fail() hands it to the caller. */
class FailureRecord {
  public:
    FailureRecord(char *err_buf, zo_failure_t *out);
    zo_failure_t &record() { return record_; }
    void set_phase(const char *phase);
    /* Adds to the note; the note is one sentence, its parts joined by "; ". */
    void note(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    /* The transfer's code and curl's words for it, into the record and the note. */
    void note_curl(int code);
    /* The code and words without a note. */
    void record_curl(int code);
    void note_last_answer();
    /* Keeps the text of a {"message":...} answer piece as far as the piece holds it; any other
       piece leaves the last message as it was. */
    void keep_service_message(const char *data, size_t len);
    void forget_service_message() { record_.service_message[0] = '\0'; }
    bool has_service_message() const { return record_.service_message[0] != '\0'; }

    /* Each reports the failure and returns -1. */
    zo_status_t fail(const char *msg);
    /* "Submit problem curl failed with <code>": the wording of both phases. */
    zo_status_t fail_curl(int code);
    zo_status_t fail_deadline(double timeout_s);

  private:
    char *err_buf_;
    zo_failure_t *out_;
    zo_failure_t record_{};
};

}  // namespace zo
#endif

#endif /* ZO_CLIENT_FAILURE_H */
