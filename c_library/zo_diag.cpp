// Where the library's diagnostics go. By default to standard output, flushed; a host may install
// a sink instead (the Python binding writes them through sys.stdout). ZO_QUIET=1 drops them.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/pool.h"
#include "zo_internal.h"

namespace {

// Any thread may print while the binding installs its sink.
std::atomic<zo_diag_sink_t> installed_sink{nullptr};

// Most messages are short; longer ones (a rejected payload piece) get a heap text.
constexpr size_t short_text = 256;

}  // namespace

extern "C" void zo_set_diag_sink(zo_diag_sink_t sink) {
    installed_sink.store(sink, std::memory_order_release);
}

extern "C" int zo_diag_quiet(void) {
    const char *quiet = getenv("ZO_QUIET");
    return quiet != nullptr && strcmp(quiet, "1") == 0;
}

extern "C" void zo_diag_write(const char *text, size_t length) {
    // Exchanges stopped by the process's exit fail with nobody left to tell.
    if (zo::client_stopping()) return;
    // An installed sink decides on ZO_QUIET itself: the binding's reads it with the interpreter
    // lock held, where no Python thread can be changing the environment.
    const zo_diag_sink_t sink = installed_sink.load(std::memory_order_acquire);
    if (sink != nullptr && sink(text, length) == 0) return;
    if (zo_diag_quiet()) return;
    fwrite(text, 1, length, stdout);
    fflush(stdout);
}

extern "C" void zo_vsay(const char *fmt, va_list ap) {
    char text[short_text];
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(text, sizeof text, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    const size_t length = static_cast<size_t>(n);
    if (length < sizeof text) {
        zo_diag_write(text, length);
    } else if (char *heap = static_cast<char *>(malloc(length + 1))) {
        vsnprintf(heap, length + 1, fmt, again);
        zo_diag_write(heap, length);
        free(heap);
    } else {
        // Without memory for the whole message, its beginning still tells what happened.
        zo_diag_write(text, sizeof text - 1);
    }
    va_end(again);
}
