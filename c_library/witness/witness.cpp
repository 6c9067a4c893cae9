// The front door of the witness search: checks the total, turns equal values into a few bundles
// (c copies of v become v, 2v, 4v, ... and a remainder, which make every count 0 .. c), solves,
// and hands out as many positions of each value as its chosen bundles hold.
#include "zo_witness.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "witness_search.h"

namespace zo_witness {
namespace {

// A working budget below this is no budget at all: small inputs may use it freely.
constexpr uint64_t kLeastBudget = uint64_t{8} << 20;

// What one step may hold: the complete solve's result (total / 8 bytes; the complete form would
// take as much), never past half the machine's memory, where an allocation that the system
// grants on trust would be touched into a kill.
// A caller that answers for its own memory (the service) may lower it for its thread.
thread_local uint64_t caller_budget = 0;

uint64_t step_budget(uint64_t total) {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    const uint64_t machine = pages > 0 && page > 0 ? uint64_t(pages) / 2 * uint64_t(page)
                                                   : uint64_t{1} << 32;
    uint64_t budget = std::min(total / 8, machine);
    if (caller_budget != 0) budget = std::min(budget, caller_budget);
    return std::max(budget, kLeastBudget);
}

struct Bundle {
    size_t run;       // the run of equal values it draws from
    uint64_t copies;  // how many of them
};

int find(const uint64_t *values, size_t count, uint64_t target, uint64_t total, size_t *indices,
         size_t *index_count, const volatile int *cancel) {
    // Positions by value: each run of equal non-zero values is one range of `order`.
    // Sorting (value, position) pairs keeps equal values in input order, and faster than
    // sorting positions through the values.
    std::vector<std::pair<uint64_t, size_t>> keyed;
    for (size_t i = 0; i < count; i++) {
        if (values[i] != 0) keyed.emplace_back(values[i], i);
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<size_t> order(keyed.size());
    for (size_t k = 0; k < keyed.size(); k++) order[k] = keyed[k].second;
    keyed = {};
    std::vector<size_t> run_start;
    for (size_t k = 0; k < order.size(); k++) {
        if (k == 0 || values[order[k]] != values[order[k - 1]]) run_start.push_back(k);
    }
    run_start.push_back(order.size());

    if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED)) throw Cancelled{};
    std::vector<size_t> picked;
    switch (solve_by_band(values, order, target, picked)) {
    case kBandNone:
        return ZO_WITNESS_NONE;
    case kBandFound:
        std::sort(picked.begin(), picked.end());
        std::copy(picked.begin(), picked.end(), indices);
        *index_count = picked.size();
        return ZO_WITNESS_FOUND;
    default:
        break;
    }

    std::vector<Bundle> bundles;
    for (size_t r = 0; r + 1 < run_start.size(); r++) {
        uint64_t left = run_start[r + 1] - run_start[r];
        for (uint64_t part = 1; left != 0; part *= 2) {
            const uint64_t take = std::min(part, left);
            bundles.push_back(Bundle{r, take});
            left -= take;
        }
    }
    if (bundles.size() > UINT32_MAX) throw std::bad_alloc();
    auto value_of = [&](const Bundle &b) { return values[order[run_start[b.run]]] * b.copies; };
    std::vector<std::pair<uint64_t, uint32_t>> by_value(bundles.size());
    for (size_t id = 0; id < bundles.size(); id++) {
        by_value[id] = {value_of(bundles[id]), static_cast<uint32_t>(id)};
    }
    std::sort(by_value.begin(), by_value.end());
    Group all;
    all.ids.reserve(by_value.size());
    all.values.reserve(by_value.size());
    for (const auto &entry : by_value) {
        all.values.push_back(entry.first);
        all.ids.push_back(entry.second);
    }
    by_value = {};

    Search s(bundles.size(), cancel, step_budget(total));
    if (!solve_group(s, std::move(all), target)) return ZO_WITNESS_NONE;

    std::vector<uint64_t> taken(run_start.size(), 0);
    for (size_t id = 0; id < bundles.size(); id++) {
        if (s.chosen[id]) taken[bundles[id].run] += bundles[id].copies;
    }
    size_t n = 0;
    for (size_t r = 0; r + 1 < run_start.size(); r++) {
        for (uint64_t c = 0; c < taken[r]; c++) indices[n++] = order[run_start[r] + c];
    }
    std::sort(indices, indices + n);
    *index_count = n;
    return ZO_WITNESS_FOUND;
}

}  // namespace
}  // namespace zo_witness

extern "C" uint64_t zo_witness_thread_budget(uint64_t bytes) {
    const uint64_t old = zo_witness::caller_budget;
    zo_witness::caller_budget = bytes;
    return old;
}

extern "C" int zo_subset_with_sum(const uint64_t *values, size_t count, uint64_t target,
                                  size_t *indices, size_t *index_count,
                                  const volatile int *cancel) {
    *index_count = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < count; i++) {
        if (__builtin_add_overflow(total, values[i], &total)) return ZO_WITNESS_TOO_LARGE;
    }
    if (target == 0) return ZO_WITNESS_FOUND;
    if (target > total) return ZO_WITNESS_NONE;
    try {
        return zo_witness::find(values, count, target, total, indices, index_count, cancel);
    } catch (const std::bad_alloc &) {
        return ZO_WITNESS_NO_MEMORY;
    } catch (const zo_witness::Cancelled &) {
        return ZO_WITNESS_CANCELLED;
    }
}
