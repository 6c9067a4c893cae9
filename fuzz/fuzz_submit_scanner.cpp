// Submit response scanner: the body is cut into one to three pieces and handed over one after
// the other, each in an exact-size heap block, all scanned into the same record as libcurl
// would do it.
//
// Input: one byte (pieces = 1 + byte % 3), the cut offsets (two bytes each), then the body.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "zo_internal.h"

namespace {

// What the identifier buffer holds where the scanner has not written.
constexpr char unwritten = 0x7f;

bool ends_value(char c) { return c == '"' || c == ',' || c == '}'; }

bool piece_contains(const unsigned char *piece, size_t len, const char *text, size_t n) {
    return n == 0 || memmem(piece, len, text, n) != nullptr;
}

void check_identifier(const char *id, const unsigned char *piece, size_t len) {
    const void *nul = memchr(id, '\0', ZO_REQUEST_ID_SIZE);
    FUZZ_CHECK(nul != nullptr, "request identifier not terminated within its buffer");
    const size_t n = static_cast<size_t>(static_cast<const char *>(nul) - id);
    for (size_t i = 0; i < n; i++)
        FUZZ_CHECK(!ends_value(id[i]), "request identifier holds a value delimiter");
    FUZZ_CHECK(piece_contains(piece, len, id, n), "request identifier not taken from the piece");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const unsigned n = 1 + in.byte() % 3;
    const std::vector<Piece> pieces = in.split(n);

    // Exactly the identifier's size, so a write past it is reported.
    char *id = static_cast<char *>(malloc(ZO_REQUEST_ID_SIZE));
    FUZZ_CHECK(id != nullptr, "out of memory in the harness");
    memset(id, unwritten, ZO_REQUEST_ID_SIZE);
    std::vector<char> seen(id, id + ZO_REQUEST_ID_SIZE);
    zo_submit_response_t record{0, id, nullptr};

    for (const Piece &piece : pieces) {
        unsigned char *copy = exact_copy(piece.data, piece.len);
        const size_t taken =
            make_request_write_callback(reinterpret_cast<char *>(copy), 1, piece.len, &record);

        FUZZ_CHECK(taken <= piece.len, "consumed more than the piece");
        FUZZ_CHECK(piece.len > 0 || taken == 0, "an empty piece was not answered with 0");
        FUZZ_CHECK(record.status == 0 || record.status == -1, "status is neither 0 nor -1");
        if (piece.len > 0 && copy[0] != '{')
            FUZZ_CHECK(record.status == -1, "a piece not opening with { was not rejected");
        if (record.status == -1) {
            FUZZ_CHECK(taken == 0, "a rejected piece counts as consumed");
            FUZZ_CHECK(record.err_str != nullptr, "rejected without an error text");
            // A service message is reported as sent; only the opening check words its own text.
            if (piece.len > 0 && copy[0] == '{')
                FUZZ_CHECK(piece_contains(copy, piece.len, record.err_str, strlen(record.err_str)),
                           "error text is not the service's message");
            free(record.err_str);
            record.err_str = nullptr;
        } else {
            FUZZ_CHECK(record.err_str == nullptr, "error text set without a rejection");
        }
        if (memcmp(id, seen.data(), ZO_REQUEST_ID_SIZE) != 0) {
            check_identifier(id, copy, piece.len);
            memcpy(seen.data(), id, ZO_REQUEST_ID_SIZE);
        }
        free(copy);
    }
    free(id);
    return 0;
}
