// The redirect rules of the result poll: what counts as a redirect, where one may lead and who
// sees the key there.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <curl/curl.h>
#include <strings.h>

#include "client/redirect.h"
#include "zo_internal.h"

namespace {

struct UrlDeleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFreeDeleter {
    void operator()(char *p) const { curl_free(p); }
};
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

using zo::Origin;

bool same_origin(const Origin &a, const Origin &b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

std::string lower(const char *text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// libcurl's reading of a finished answer: the absolute target of a 3xx with a Location, or NULL.
const char *redirect_target(CURL *h) {
    long status = 0;
    char *target = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return nullptr;
    if (status < 300 || status > 399) return nullptr;
    if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &target) != CURLE_OK) return nullptr;
    return target;
}

}  // namespace

namespace zo {

bool parse_address(const char *address, Origin *origin, std::string *canonical) {
    Url u(curl_url());
    if (!u || address == nullptr) return false;
    if (curl_url_set(u.get(), CURLUPART_URL, address, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    auto part = [&u](CURLUPart which, unsigned flags) {
        char *text = nullptr;
        return CurlText(curl_url_get(u.get(), which, &text, flags) == CURLUE_OK ? text : nullptr);
    };
    CurlText scheme = part(CURLUPART_SCHEME, 0), host = part(CURLUPART_HOST, 0);
    if (!scheme) return false;
    origin->scheme = lower(scheme.get());
    origin->host = host ? lower(host.get()) : std::string();
    CurlText port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    origin->port = port ? strtol(port.get(), nullptr, 10) : -1;
    if (canonical != nullptr) {
        CurlText whole = part(CURLUPART_URL, 0);
        if (!whole) return false;
        *canonical = whole.get();
    }
    return true;
}

size_t note_answer_head(char *data, size_t size, size_t count, void *userp) {
    auto *head = static_cast<AnswerHead *>(userp);
    const size_t len = size * count;
    if (starts_with(data, len, "HTTP/")) {
        head->status = 0;
        head->location = false;
        const char *space = static_cast<const char *>(memchr(data, ' ', len));
        for (size_t i = space != nullptr ? static_cast<size_t>(space - data) + 1 : len;
             i < len && isdigit(static_cast<unsigned char>(data[i])) && head->status < 1000; i++)
            head->status = head->status * 10 + (data[i] - '0');
    } else if (len > 9 && strncasecmp(data, "location:", 9) == 0) {
        for (size_t i = 9; i < len && !head->location; i++)
            head->location = !isspace(static_cast<unsigned char>(data[i]));
    }
    return len;
}

bool redirected(CURL *h, int hops, const std::string &service, curl_slist *key_headers,
                CURLcode *code, std::string *url, curl_slist **headers) {
    const char *target = redirect_target(h);
    if (target == nullptr) return false;
    *code = CURLE_OK;
    // Parsed only when a redirect came: most calls never meet one.
    Origin origin;
    const bool known = parse_address(service.c_str(), &origin, nullptr);
    Origin next;
    if (hops == max_redirects)
        *code = CURLE_TOO_MANY_REDIRECTS;
    else if (!parse_address(target, &next, url))
        *code = CURLE_URL_MALFORMAT;
    else if (next.scheme != "https")
        *code = CURLE_UNSUPPORTED_PROTOCOL;
    else
        *headers = known && same_origin(next, origin) ? key_headers : nullptr;
    return true;
}

}  // namespace zo
