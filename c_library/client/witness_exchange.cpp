// The witness exchange: which values make a sum, asked of the service like a solve, and the
// decoding of its answer, checked against the problem before any of it is handed out.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "client/steps.h"

using zo::word_at;

namespace {

// A witness payload's words: the found flag, the count, then the indices.
constexpr size_t found_word = 0, count_word = 1, header_words = ZO_WITNESS_HEADER_WORDS;
static_assert(header_words == count_word + 1, "the indices follow the found flag and the count");

// Whether a target is a sum at a glance: 0, the total, a value, or the total less one. `total`
// is the values' total, or null where it passes 64 bits.
bool plainly_reachable(const uint64_t *values, size_t count, const uint64_t *total,
                       uint64_t target) {
    if (target == 0 || (total != nullptr && target == *total)) return true;
    for (size_t i = 0; i < count; i++) {
        if (values[i] == target || (total != nullptr && *total - values[i] == target)) return true;
    }
    return false;
}

}  // namespace

extern "C" int zo_witness_decode(const zo_download_buffer_t *buffer, size_t count,
                                 size_t *indices, size_t *index_count, int *found) {
    // Room for the longest valid answer and one word more, so that a longer one is seen.
    if (count > SIZE_MAX / 8 - header_words - 2) return -1;
    const size_t window_len = (count + header_words + 1) * 8;
    zo::Malloced<unsigned char> window(static_cast<unsigned char *>(malloc(window_len)));
    if (!window) return -1;
    size_t len = 0;
    if (zo::inflate_gzip(window.get(), window_len,
                         reinterpret_cast<const unsigned char *>(buffer->memory), buffer->size,
                         &len) != zo::Inflated::complete ||
        len % 8 != 0 || len < header_words * 8)
        return -1;
    const unsigned char *bytes = window.get();
    const uint64_t flag = word_at(bytes, len, found_word), k = word_at(bytes, len, count_word);
    if (flag > 1 || (flag == 0 && k != 0) || k > count || len / 8 - header_words != k) return -1;
    for (size_t i = 0; i < k; i++) {
        const uint64_t index = word_at(bytes, len, header_words + i);
        if (index >= count || (i > 0 && index <= word_at(bytes, len, header_words + i - 1)))
            return -1;
    }
    for (size_t i = 0; i < k; i++)
        indices[i] = static_cast<size_t>(word_at(bytes, len, header_words + i));
    *index_count = static_cast<size_t>(k);
    *found = static_cast<int>(flag);
    return 0;
}

namespace {

zo_status_t witness_exchange(const zo_solve_config_t *config, const uint64_t *values, size_t count,
                             uint64_t target, size_t *indices, size_t *index_count, int *found,
                             zo::FailureRecord &report) {
    if (count > SIZE_MAX - header_words) return report.fail("[Local failure] out of memory");
    char path[96];
    snprintf(path, sizeof path, ZO_SUBSET_PATH "?" ZO_TARGET_KEY "=%" PRIu64, target);
    zo::DownloadOwner download;
    if (zo::ask_service(config, values, count, path, count + header_words, download, report) != 0)
        return -1;

    report.set_phase("payload");
    int got_found = 0;
    size_t got_count = 0;
    zo::Malloced<size_t> got(static_cast<size_t *>(malloc((count > 0 ? count : 1) * sizeof(size_t))));
    if (!got) return report.fail("[Local failure] out of memory");
    if (zo_witness_decode(&download.buffer, count, got.get(), &got_count, &got_found) != 0) {
        report.note("the witness payload is not one complete gzip stream of a found flag, a "
                    "count and that many ascending indices below %zu", count);
        return report.fail("Witness payload could not be decoded");
    }
    uint64_t sum = 0;
    bool overflow = false;
    for (size_t i = 0; i < got_count && !overflow; i++)
        overflow = __builtin_add_overflow(sum, values[got.get()[i]], &sum);
    if (got_found && (overflow || sum != target)) {
        report.note("the values at the indices the service named do not add up to %" PRIu64,
                    target);
        return report.fail("Witness payload does not add up to the target");
    }
    uint64_t total = 0;
    overflow = false;
    for (size_t i = 0; i < count && !overflow; i++)
        overflow = __builtin_add_overflow(total, values[i], &total);
    if (!got_found && plainly_reachable(values, count, overflow ? nullptr : &total, target)) {
        report.note("the service found no values adding up to %" PRIu64 ", which is 0, the "
                    "total, a value or the total less one",
                    target);
        return report.fail("Witness payload denies a reachable target");
    }
    if (got_count > 0) memcpy(indices, got.get(), got_count * sizeof(size_t));
    *index_count = got_count;
    *found = got_found;
    return 0;
}

}  // namespace

extern "C" zo_status_t zo_online_subset(const zo_solve_config_t *config, const uint64_t *values,
                                        size_t count, uint64_t target, size_t *indices,
                                        size_t *index_count, int *found, char *err_buf,
                                        zo_failure_t *failure) {
    zo::FailureRecord report(err_buf, failure);
    // No C++ exception may cross into C callers; the owners have released everything by here.
    try {
        return witness_exchange(config, values, count, target, indices, index_count, found,
                                report);
    } catch (...) {
        return report.fail("[Local failure] out of memory");
    }
}
