// Helpers shared by the fuzz targets: reading the input's header bytes, cutting the rest into
// pieces, and failing loudly when a property does not hold.
#ifndef ZO_FUZZ_SUPPORT_H
#define ZO_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// abort() makes libFuzzer keep the input as a crash, with the message above its report.
#define FUZZ_CHECK(cond, what)                                                              \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, what);    \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

struct Piece {
    const uint8_t *data;
    size_t len;
};

// Reads a few header bytes from the front of the fuzz input; reads past its end give zeros, so
// every input, however short, means something.
class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), left_(size) {}

    uint8_t byte() {
        if (left_ == 0) return 0;
        left_--;
        return *data_++;
    }

    uint16_t u16() {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }

    // The rest of the input, cut into `n` pieces. The n - 1 cut offsets come first, two bytes
    // each (little-endian, modulo the remaining length + 1), so pieces may be empty.
    std::vector<Piece> split(unsigned n) {
        std::vector<uint16_t> raw;
        for (unsigned i = 1; i < n; i++) raw.push_back(u16());
        std::vector<size_t> cuts;
        for (uint16_t r : raw) cuts.push_back(r % (left_ + 1));
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(left_);
        std::vector<Piece> pieces;
        size_t start = 0;
        for (size_t end : cuts) {
            pieces.push_back({data_ + start, end - start});
            start = end;
        }
        data_ += left_;
        left_ = 0;
        return pieces;
    }

    Piece rest() {
        const Piece p{data_, left_};
        data_ += left_;
        left_ = 0;
        return p;
    }

  private:
    const uint8_t *data_;
    size_t left_;
};

// An exact-size heap copy, so AddressSanitizer reports any read past the piece.
inline unsigned char *exact_copy(const uint8_t *data, size_t len) {
    auto *copy = static_cast<unsigned char *>(malloc(len));
    FUZZ_CHECK(copy != nullptr || len == 0, "out of memory in the harness");
    if (len > 0) std::copy(data, data + len, copy);
    return copy;
}

#endif  // ZO_FUZZ_SUPPORT_H
