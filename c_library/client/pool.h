// The process-wide connection share, the pool of multi handles that drive transfers, and the stop
// of every exchange at the process's exit.
#ifndef ZO_CLIENT_POOL_H
#define ZO_CLIENT_POOL_H

#include <curl/curl.h>

namespace zo {

// libcurl's global set-up, the share and the pool, once per process. NULL when the share could
// not be made: transfers then go unshared.
CURLSH *connection_share();

// True once zo_client_stop has run, or once the calling thread's interrupt check answered
// non-zero: exchanges end at their next step.
bool client_stopping();

// Runs the calling thread's interrupt check (zo_client_watch) when it is due.
void check_interrupt();

// Counts the exchanges that zo_client_stop waits for, for as long as it lives.
class ExchangeInFlight {
  public:
    ExchangeInFlight();
    ~ExchangeInFlight();
    ExchangeInFlight(const ExchangeInFlight &) = delete;
    ExchangeInFlight &operator=(const ExchangeInFlight &) = delete;
};

// A kept multi handle and the easy handle it drives, borrowed for one exchange and given back to
// the pool when it ends.
class Driver {
  public:
    Driver();
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;
    // The easy handle with every option back at libcurl's default, for the next transfer; NULL
    // when none could be made (or the last one could not be taken off its multi handle).
    CURL *start();
    // curl_easy_perform's own loop, on the kept multi handle: the easy handle's options
    // (time-outs, deadline, share) apply unchanged.
    CURLcode perform();

  private:
    CURLM *multi_;
    CURL *easy_;
    void *pool_;
    bool in_use_ = false;  // still on the multi handle: never reused
};

}  // namespace zo

#endif  // ZO_CLIENT_POOL_H
