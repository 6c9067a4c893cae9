// Payload decoder: a gzip stream is unpacked into words (_unzip_data) and inflated into a byte
// buffer (gunzip), with capacities taken from the input, and both are compared with a reference
// inflate of the same stream.
//
// Input: two bytes for the capacity in words, two for gunzip's capacity in bytes (both
// little-endian), then the gzip stream.
#include <cstring>
#include <vector>

#include <zlib.h>

#include "fuzz_support.h"
#include "zo_internal.h"

namespace {

constexpr uint64_t sentinel = 0xA5A5A5A5A5A5A5A5u;
constexpr size_t guard_words = 4;
constexpr size_t min_window = 65536;

// Mostly small capacities, so payloads overrun them; now and then one past the 64 KiB window.
size_t word_capacity(uint16_t v) { return v & 0x8000 ? (v & 0x7fff) % 9000 : v % 24; }
size_t byte_capacity(uint16_t v) { return v & 0x8000 ? (v & 0x7fff) * size_t{2} : v % 200; }

struct Inflated {
    std::vector<unsigned char> bytes;
    bool complete;  // the gzip member ended and its checks passed
};

// Inflates one gzip member, feeding the input a few bytes at a time and stopping once `limit`
// bytes came out: a different path through zlib from the code under test.
Inflated reference_inflate(const unsigned char *src, size_t len, size_t limit) {
    Inflated out{std::vector<unsigned char>(limit), false};
    z_stream s{};
    FUZZ_CHECK(inflateInit2(&s, 15 + 16) == Z_OK, "reference inflate could not start");
    s.next_out = out.bytes.data();
    s.avail_out = static_cast<uInt>(limit);
    size_t fed = 0;
    for (;;) {
        if (s.avail_in == 0) {
            if (fed == len) break;
            const size_t step = len - fed < 16 ? len - fed : 16;
            s.next_in = const_cast<unsigned char *>(src + fed);
            s.avail_in = static_cast<uInt>(step);
            fed += step;
        }
        const int rc = inflate(&s, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            out.complete = true;
            break;
        }
        if (rc != Z_OK || s.avail_out == 0) break;
    }
    out.bytes.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

void check_unpacking(const Piece &payload, size_t capacity, const Inflated &ref, size_t window) {
    uint64_t *words = static_cast<uint64_t *>(malloc((capacity + guard_words) * sizeof(uint64_t)));
    FUZZ_CHECK(words != nullptr, "out of memory in the harness");
    for (size_t w = 0; w < capacity + guard_words; w++) words[w] = sentinel;
    unsigned char *memory = exact_copy(payload.data, payload.len);
    zo_download_buffer_t buffer{reinterpret_cast<char *>(memory), payload.len};
    size_t reported = capacity;
    zo_unpack_target_t target{words, &reported};

    const int rc = _unzip_data(&buffer, &target);

    FUZZ_CHECK(rc == 0 || rc == -1, "_unzip_data returned neither 0 nor -1");
    FUZZ_CHECK(reported == capacity, "the capacity was changed");
    FUZZ_CHECK(buffer.memory == reinterpret_cast<char *>(memory) && buffer.size == payload.len &&
                   (payload.len == 0 || memcmp(memory, payload.data, payload.len) == 0),
               "the download buffer was changed");
    for (size_t w = capacity; w < capacity + guard_words; w++)
        FUZZ_CHECK(words[w] == sentinel, "a word past the capacity was written");

    // A whole member, or one that fills the window, is a result; one that stops short of the
    // window is damaged. Stopping exactly at the window's end may go either way.
    const size_t produced = ref.bytes.size();
    if (ref.complete || produced > window)
        FUZZ_CHECK(rc == 0, "a sound payload was refused");
    else if (produced < window)
        FUZZ_CHECK(rc == -1, "a damaged payload was accepted");

    if (rc == -1) {
        for (size_t w = 0; w < capacity; w++)
            FUZZ_CHECK(words[w] == sentinel, "output written although the payload was refused");
    } else {
        size_t len = produced < window ? produced : window;
        while (len > 0 && ref.bytes[len - 1] == 0) len--;
        if (len > capacity * 8) len = capacity * 8;
        for (size_t w = 0; w < capacity; w++) {
            if (w * 8 >= len) {
                FUZZ_CHECK(words[w] == sentinel, "a word past the payload was written");
                continue;
            }
            uint64_t expect = 0;
            for (size_t b = 0; b < 8 && w * 8 + b < len; b++)
                expect |= static_cast<uint64_t>(ref.bytes[w * 8 + b]) << (8 * b);
            FUZZ_CHECK(words[w] == expect, "a word is not the payload's little-endian bytes");
        }
    }
    free(memory);
    free(words);
}

void check_gunzip(const Piece &payload, size_t capacity, const Inflated &ref) {
    unsigned char *dest = static_cast<unsigned char *>(malloc(capacity));
    FUZZ_CHECK(dest != nullptr || capacity == 0, "out of memory in the harness");
    unsigned char *source = exact_copy(payload.data, payload.len);
    size_t dest_len = capacity;

    const int rc = gunzip(dest, &dest_len, source, payload.len);

    const bool fits = ref.complete && ref.bytes.size() <= capacity;
    if (fits) {
        FUZZ_CHECK(rc == Z_OK, "gunzip refused a whole stream that fits");
        FUZZ_CHECK(dest_len == ref.bytes.size(), "gunzip reported a wrong length");
        FUZZ_CHECK(dest_len == 0 || memcmp(dest, ref.bytes.data(), dest_len) == 0,
                   "gunzip produced other bytes");
    } else {
        FUZZ_CHECK(rc < 0, "gunzip succeeded on a damaged or oversized stream");
        FUZZ_CHECK(dest_len == capacity, "gunzip changed the length on failure");
    }
    free(source);
    free(dest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const size_t words = word_capacity(in.u16());
    const size_t bytes = byte_capacity(in.u16());
    const Piece payload = in.rest();

    const size_t window = words * 8 + 8 > min_window ? words * 8 + 8 : min_window;
    const size_t limit = (window > bytes ? window : bytes) + 1;
    const Inflated ref = reference_inflate(payload.data, payload.len, limit);

    check_unpacking(payload, words, ref, window);
    check_gunzip(payload, bytes, ref);
    return 0;
}
