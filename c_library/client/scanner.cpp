// Submit response scanner. Each piece is scanned as a whole flat object; nothing carries over.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zo_internal.h"

extern "C" char *zo_heap_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    const int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    return n < 0 ? nullptr : text;
}

namespace {

bool ends_value(char c) { return c == '"' || c == ',' || c == '}'; }

// Copies the value at *p into dest (at most `room` characters, then a NUL). False when the piece
// ends before the value does; the text copied so far is still terminated.
bool scrape_value(const char *data, size_t count, size_t *p, char *dest, size_t room) {
    size_t n = 0;
    while (*p < count && !ends_value(data[*p]) && n < room) dest[n++] = data[(*p)++];
    dest[n] = '\0';
    if (*p >= count) {
        zo_say("Ran out of buffer during val scraping");
        return false;
    }
    return true;
}

// Rejects the whole response with `text` as the failure the exchange reports.
size_t reject_response(zo_submit_response_t *record, char *text, const char *shown) {
    free(record->err_str);
    record->err_str = text;
    record->status = -1;
    say_line(text != nullptr ? text : shown);
    return 0;
}

}  // namespace

extern "C" size_t make_request_write_callback(char *data, size_t, size_t count, void *userp) {
    auto *record = static_cast<zo_submit_response_t *>(userp);
    record->status = 0;
    if (count == 0) return 0;
    if (data[0] != '{') {
        char shown[] = "unexpected opening character to response ?";
        shown[sizeof shown - 2] = data[0];
        return reject_response(
            record, zo_heap_printf("unexpected opening character to response %c", data[0]), shown);
    }
    size_t p = 1;
    while (p < count && data[p] == '"') {
        p++;
        char key[51];
        size_t k = 0;
        while (p < count && data[p] != '"' && k < 50) key[k++] = data[p++];
        key[k] = '\0';
        if (p + 3 >= count) {
            say_line("Ran out of buffer during transition to val");
            return p;
        }
        // p + 3 < count: the quote, the colon, a space and one more byte all lie in the piece.
        if (data[p] != '"') {
            zo_say("Unexpected character after key 0x%x\n", static_cast<int>(static_cast<signed char>(data[p])));
            return p;
        }
        p++;
        if (data[p] != ':') {
            zo_say("Unexpected character after key+1 0x%x\n",
                static_cast<int>(static_cast<signed char>(data[p])));
            return p;
        }
        p++;
        if (data[p] == ' ') p++;

        if (strcmp(key, ZO_REQUEST_ID_KEY) == 0) {
            if (data[p] == '"') p++;
            if (!scrape_value(data, count, &p, record->request_id, ZO_REQUEST_ID_SIZE - 1))
                return p;
        } else if (strcmp(key, ZO_MESSAGE_KEY) == 0) {
            if (data[p] == '"') p++;
            char message[512];
            if (!scrape_value(data, count, &p, message, sizeof message - 1)) return p;
            zo_say("Got message %s\n", message);
            if (strcmp(message, ZO_BAD_KEY_MESSAGE) == 0) say_line("Bad API key");
            return reject_response(record, zo_heap_printf("%s", message), message);
        } else {
            if (data[p] == '"') p++;
            while (p < count && !ends_value(data[p])) p++;
        }
        if (p < count && data[p] == '"') p++;
        while (p < count && (data[p] == ',' || data[p] == ' ')) p++;
    }
    if (p < count) {
        if (data[p] == '}') return p + 1;
        zo_say("Unexpected ending character %c\n", data[p]);
    }
    return p;
}
