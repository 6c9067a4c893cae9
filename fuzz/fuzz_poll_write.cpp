// Poll write callback: the download is cut into one to four pieces, each handed over in an
// exact-size heap block, and the collected buffer is compared with the accepted pieces.
//
// Input: a mode byte (bits 0-2 pick the item size libcurl passes, bit 3 starts the buffer empty
// instead of as the exchange's 1-byte block), a byte for the piece count (1 + byte % 4), the
// cut offsets (two bytes each), then the download.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "zo_internal.h"

namespace {

bool starts_with(const unsigned char *data, size_t len, const char *prefix) {
    const size_t n = strlen(prefix);
    return len >= n && memcmp(data, prefix, n) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const size_t item_sizes[8] = {1, 1, 1, 1, 1, 2, 3, 0};
    FuzzInput in(data, size);
    const uint8_t mode = in.byte();
    const size_t item = item_sizes[mode & 7];
    const unsigned n = 1 + in.byte() % 4;

    zo_download_buffer_t buffer{(mode & 8) ? nullptr : static_cast<char *>(malloc(1)), 0};
    std::string expected;
    for (const Piece &piece : in.split(n)) {
        const size_t count = item != 0 ? piece.len / item : piece.len;
        const size_t offered = item * count;
        unsigned char *copy = exact_copy(piece.data, offered);
        const size_t taken =
            write_memory_callback(reinterpret_cast<char *>(copy), item, count, &buffer);

        const bool not_ready = starts_with(copy, offered, "{\"message\"") ||
                               starts_with(copy, offered, "<?xml version=\"");
        if (offered == 0 || not_ready)
            FUZZ_CHECK(taken == 0, "a not-ready answer or an empty piece was taken");
        else
            FUZZ_CHECK(taken == offered, "a piece was not taken whole");
        expected.append(reinterpret_cast<const char *>(copy), taken);
        FUZZ_CHECK(buffer.size == expected.size(), "length is not the sum of the taken pieces");
        FUZZ_CHECK(expected.empty() || memcmp(buffer.memory, expected.data(), expected.size()) == 0,
                   "buffer is not the taken pieces in order");
        free(copy);
    }
    free(buffer.memory);
    return 0;
}
