// The redirect rules of the result poll: which answer is a redirect, where it may lead (https
// only, at most max_redirects hops) and whether the key may go along (the service's own origin).
#ifndef ZO_CLIENT_REDIRECT_H
#define ZO_CLIENT_REDIRECT_H

#include <cstddef>
#include <string>

#include <curl/curl.h>

namespace zo {

// Redirects one poll attempt may follow before the whole call fails.
constexpr int max_redirects = 5;

// Scheme, host and port: whom a request goes to, and so whether the key may go along.
struct Origin {
    std::string scheme, host;
    long port = -1;  // the scheme's default when the address names none; -1 when it has none
};

// Parses an absolute address. False when it is none; `canonical` (when given) gets the address
// as libcurl's parser reads it, so the address checked is the address requested.
bool parse_address(const char *address, Origin *origin, std::string *canonical);

// What the head of the answer in flight says; its body needs it before libcurl has finished.
struct AnswerHead {
    long status = 0;
    bool location = false;
    bool redirect() const { return status >= 300 && status <= 399 && location; }
};

// libcurl header callback (its data an AnswerHead). Every answer's head comes through here,
// interim answers' too: a status line starts afresh.
size_t note_answer_head(char *data, size_t size, size_t count, void *head);

// After the finished transfer `h`: false when its answer is no redirect. Otherwise true, with
// `*code` CURLE_OK and `*url` and `*headers` set for the next hop (the key lines only to the
// origin of the service's address `service`; to none when it cannot be parsed), or `*code` the
// failure that ends the call. `hops` is the number of redirects followed before this one.
bool redirected(CURL *h, int hops, const std::string &service, curl_slist *key_headers,
                CURLcode *code, std::string *url, curl_slist **headers);

}  // namespace zo

#endif  // ZO_CLIENT_REDIRECT_H
