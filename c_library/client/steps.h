// The two steps of a remote call, shared by every kind of problem sent: the submit, which hands
// the problem over and gets its identifier, and the poll, which waits for its payload.
#ifndef ZO_CLIENT_STEPS_H
#define ZO_CLIENT_STEPS_H

#include "client/transfer.h"
#include "zo_internal.h"

namespace zo {

// Posts `body` to `path` under the service's address with `headers`. On success (0)
// `request_id` (ZO_REQUEST_ID_SIZE bytes) holds the service's identifier; otherwise the failure
// is reported through `report` and -1 returned.
zo_status_t submit_problem(const Transfer &transfer, const char *path, curl_slist *headers,
                           const char *body, char *request_id, FailureRecord &report);

// Polls for the payload of `request_id` until it is in `download` (0), or the failure is
// reported through `report` (-1). `capacity_words` bounds the payload: any valid one for an
// output of that many words is taken.
zo_status_t poll_result(const Transfer &transfer, const char *request_id, size_t capacity_words,
                        DownloadOwner &download, FailureRecord &report);

// Both steps for one problem: the values posted to `path`, then the payload polled for into
// `download` (0), within the call's ZO_TIMEOUT; or the failure reported through `report` (-1).
zo_status_t ask_service(const zo_solve_config_t *config, const uint64_t *values, size_t count,
                        const char *path, size_t capacity_words, DownloadOwner &download,
                        FailureRecord &report);

}  // namespace zo

#endif  // ZO_CLIENT_STEPS_H
