// Result payload decoding: collecting the poll's download, inflating it, unpacking the words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "engine/fmss_kernels.h"
#include "zo_internal.h"

using zo::Inflated;
using zo::Malloced;
using zo::word_at;
using zo::starts_with;

namespace zo {

// Works in chunks, since zlib counts in 32 bits.
Inflated inflate_gzip(unsigned char *dest, size_t capacity, const unsigned char *source,
                      size_t source_len, size_t *produced) {
    constexpr size_t chunk = UINT32_MAX;
    z_stream strm{};
    *produced = 0;
    if (inflateInit2(&strm, 15 + 16) != Z_OK) return Inflated::damaged;
    size_t in_left = source_len, out_left = capacity;
    strm.next_in = const_cast<unsigned char *>(source);
    strm.next_out = dest;
    Inflated outcome = Inflated::damaged;
    for (;;) {
        if (strm.avail_in == 0 && in_left > 0) {
            strm.avail_in = static_cast<uInt>(in_left < chunk ? in_left : chunk);
            in_left -= strm.avail_in;
        }
        if (strm.avail_out == 0 && out_left > 0) {
            strm.avail_out = static_cast<uInt>(out_left < chunk ? out_left : chunk);
            out_left -= strm.avail_out;
        }
        const int rc = inflate(&strm, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            outcome = Inflated::complete;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        if (strm.avail_out == 0 && out_left == 0) {
            outcome = Inflated::window_full;
            break;
        }
        if (strm.avail_in == 0 && in_left == 0) break;  // the stream ends early
    }
    *produced = static_cast<size_t>(strm.next_out - dest);
    inflateEnd(&strm);
    return outcome;
}

}  // namespace zo

extern "C" size_t write_memory_callback(char *data, size_t size, size_t count, void *userp) {
    auto *buffer = static_cast<zo_download_buffer_t *>(userp);
    if (size != 0 && count > SIZE_MAX / size) return 0;
    const size_t realsize = size * count;
    if (realsize == 0) return 0;
    if (starts_with(data, realsize, "{\"" ZO_MESSAGE_KEY "\"")) return 0;
    if (starts_with(data, realsize, ZO_NOT_READY_XML_PREFIX)) {
        // The piece has no terminator: show exactly its bytes (up to a NUL inside it).
        const int shown = realsize > INT32_MAX ? INT32_MAX : static_cast<int>(realsize);
        zo_say("Output is not expected binary, got %.*s", shown, data);
        return 0;
    }
    if (buffer->size > SIZE_MAX - realsize) return 0;
    char *grown = static_cast<char *>(realloc(buffer->memory, buffer->size + realsize));
    if (grown == nullptr) {
        say_line("not enough memory (realloc returned NULL)");
        return 0;
    }
    buffer->memory = grown;
    memcpy(buffer->memory + buffer->size, data, realsize);
    buffer->size += realsize;
    return realsize;
}

// =============================================================================================
// Kept for C callers: gunzip, one gzip stream inflated in a single call of at most 4 GiB. The
// payloads are inflated by zo::inflate_gzip above, which works in chunks and tells a full window
// from a damaged stream.

extern "C" int gunzip(unsigned char *dest, size_t *dest_len, const unsigned char *source,
                      size_t source_len) {
    if (source_len > UINT32_MAX || *dest_len > UINT32_MAX) return Z_BUF_ERROR;
    z_stream strm{};
    strm.next_in = const_cast<unsigned char *>(source);
    strm.avail_in = static_cast<uInt>(source_len);
    strm.next_out = dest;
    strm.avail_out = static_cast<uInt>(*dest_len);
    int rc = inflateInit2(&strm, 15 + 16);
    if (rc != Z_OK) return rc;
    rc = inflate(&strm, Z_FINISH);
    if (rc == Z_STREAM_END) {
        *dest_len = strm.total_out;
        return inflateEnd(&strm);
    }
    inflateEnd(&strm);
    return rc == Z_OK ? Z_BUF_ERROR : rc;
}

// End of the routines kept for C callers.
// =============================================================================================

uint64_t zo::word_at(const unsigned char *bytes, size_t len, uint64_t w) {
    if (w >= (len + 7) / 8) return 0;
    uint64_t word = 0;
    const size_t first = static_cast<size_t>(w) * 8;
    for (size_t b = 0; b < 8 && first + b < len; b++)
        word |= static_cast<uint64_t>(bytes[first + b]) << (8 * b);
    return word;
}

namespace {

// Bits hi - 63 .. hi of the bytes as one word (bit k is bit hi - 63 + k); zeros below bit 0.
uint64_t bits_ending_at(const unsigned char *bytes, size_t len, uint64_t hi) {
    if (hi < 63) return word_at(bytes, len, 0) << (63 - hi);
    const uint64_t lo = hi - 63, w = lo / 64;
    const unsigned r = static_cast<unsigned>(lo % 64);
    const uint64_t low = word_at(bytes, len, w);
    return r == 0 ? low : (low >> r) | (word_at(bytes, len, w + 1) << (64 - r));
}

enum class Unpacked { ok, undecodable, not_a_sum_set };

// Inflates the payload into a window larger than the output, checks it against `total` and the
// values when given, and only then writes the words.
Unpacked unpack(zo_download_buffer_t *buffer, zo_unpack_target_t *target, const uint64_t *total,
                const uint64_t *values = nullptr, size_t count = 0) {
    const size_t capacity = *target->output_size;
    // The window is always larger than the output, so a long payload is seen to overrun it
    // instead of being cut silently; a small output still gets the customary 64 KiB.
    constexpr size_t min_window = 65536;
    if (capacity > (SIZE_MAX - 8) / 8) return Unpacked::undecodable;
    const size_t window_len = capacity * 8 + 8 > min_window ? capacity * 8 + 8 : min_window;
    Malloced<unsigned char> window(static_cast<unsigned char *>(malloc(window_len)));
    if (!window) return Unpacked::undecodable;

    size_t len = 0;
    if (zo::inflate_gzip(window.get(), window_len, reinterpret_cast<unsigned char *>(buffer->memory),
                     buffer->size, &len) == Inflated::damaged)
        return Unpacked::undecodable;

    const unsigned char *bytes = window.get();
    while (len > 0 && bytes[len - 1] == 0) len--;
    if (total != nullptr && (!zo_sum_set_is_valid(bytes, len, capacity, *total) ||
                             !zo_sum_set_holds_values(bytes, len, capacity, values, count)))
        return Unpacked::not_a_sum_set;
    uint64_t *words = target->output;
    for (size_t i = 0; i < len; i++) {
        if (i / 8 >= capacity) {
            say_line("Overrun output size");
            break;
        }
        if (i % 8 == 0) words[i / 8] = 0;
        words[i / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * (i % 8));
    }
    return Unpacked::ok;
}

}  // namespace

extern "C" int zo_sum_set_is_valid(const unsigned char *bytes, size_t len, size_t words_held,
                                   uint64_t total) {
    while (len > 0 && bytes[len - 1] == 0) len--;
    if (len == 0 || (bytes[0] & 1) == 0) return 0;
    // No bit above the total, wherever it lies.
    const uint64_t highest = 8 * static_cast<uint64_t>(len - 1) +
                             (31 - static_cast<unsigned>(__builtin_clz(bytes[len - 1])));
    if (highest > total) return 0;
    if (words_held == 0) return 1;
    const uint64_t held_bits_last = words_held > UINT64_MAX / 64 ? UINT64_MAX : words_held * 64 - 1;
    if (total <= held_bits_last && highest != total) return 0;  // the total's bit is the highest
    // s is a sum exactly when total - s is: each held word against the mirrored bits, over the
    // pairs that both lie in the held words.
    const uint64_t lowest_pair = total > held_bits_last ? total - held_bits_last : 0;
    const uint64_t last_word = total / 64 < words_held - 1 ? total / 64 : words_held - 1;
    for (uint64_t i = lowest_pair / 64; i <= last_word; i++) {
        const uint64_t s0 = 64 * i, span = total - s0;  // s0 <= total, since i <= total / 64
        uint64_t mask = span >= 63 ? ~0ULL : (2ULL << span) - 1;
        if (lowest_pair > s0) mask &= ~0ULL << (lowest_pair - s0);
        const uint64_t mirror = fmss::reverse_bits(bits_ending_at(bytes, len, span));
        if (((word_at(bytes, len, i) ^ mirror) & mask) != 0) return 0;
    }
    return 1;
}

extern "C" int zo_sum_set_holds_values(const unsigned char *bytes, size_t len, size_t words_held,
                                       const uint64_t *values, size_t count) {
    const uint64_t held_bits = words_held > UINT64_MAX / 64 ? UINT64_MAX : words_held * 64;
    for (size_t i = 0; i < count; i++) {
        const uint64_t v = values[i];
        if (v < held_bits && (word_at(bytes, len, v / 64) >> (v % 64) & 1) == 0) return 0;
    }
    return 1;
}

extern "C" int _unzip_data(zo_download_buffer_t *buffer, zo_unpack_target_t *target) {
    return unpack(buffer, target, nullptr) == Unpacked::ok ? 0 : -1;
}

int zo::unpack_checked(zo_download_buffer_t *buffer, zo_unpack_target_t *target, uint64_t total,
                       const uint64_t *values, size_t count) {
    switch (unpack(buffer, target, &total, values, count)) {
    case Unpacked::ok:
        return 0;
    case Unpacked::not_a_sum_set:
        return -2;
    default:
        return -1;
    }
}

extern "C" int zo_unpack_checked(zo_download_buffer_t *buffer, zo_unpack_target_t *target,
                                 uint64_t total) {
    return zo::unpack_checked(buffer, target, total, nullptr, 0);
}
