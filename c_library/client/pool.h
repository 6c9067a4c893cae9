// The process-wide connection share and the pool of multi handles that drive transfers.
#ifndef ZO_CLIENT_POOL_H
#define ZO_CLIENT_POOL_H

#include <curl/curl.h>

namespace zo {

// libcurl's global set-up, the share and the pool, once per process. NULL when the share could
// not be made: transfers then go unshared.
CURLSH *connection_share();

// curl_easy_perform's own loop, on a kept multi handle: the easy handle's options (time-outs,
// deadline, share) apply unchanged.
CURLcode perform(CURL *h);

}  // namespace zo

#endif  // ZO_CLIENT_POOL_H
