/* The search behind zo_subset_with_sum: the state of one call, the group of items a step works
   on, and the ways a group can be solved. Private to the library. */
#ifndef ZO_WITNESS_SEARCH_H
#define ZO_WITNESS_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hdr/zo_lib.h"

namespace zo_witness {

/* Thrown once *cancel turns non-zero; the C boundary turns it into ZO_WITNESS_CANCELLED. */
struct Cancelled {};

/* One call: which items are chosen so far, the flag that stops it, and how much memory one step
   may hold at a time. */
class Search {
public:
    Search(size_t items, const volatile int *cancel, uint64_t budget_bytes)
        : chosen(items, 0), cancel_(cancel), budget_(budget_bytes) {}
    // Set by another thread with an atomic store, so read as one too.
    void poll() const {
        if (cancel_ && __atomic_load_n(cancel_, __ATOMIC_RELAXED)) throw Cancelled{};
    }
    const volatile int *cancel() const { return cancel_; }
    uint64_t budget() const { return budget_; }
    void choose(uint32_t id) { chosen[id] = 1; }

    std::vector<char> chosen;

private:
    const volatile int *cancel_;
    uint64_t budget_;
};

/* Items by id, with their values (maybe divided by a common factor), ascending by value. */
struct Group {
    std::vector<uint32_t> ids;
    std::vector<uint64_t> values;
};

/* Chooses items of `g` whose values add up to `target`: true, or false with nothing chosen when
   no sub-multiset of them does. Any values, in ascending order. */
bool solve_group(Search &s, Group g, uint64_t target);

/* The ways below take a reduced group: values ascending, each in [1, target], no common factor,
   and 0 < target <= their total / 2. Each answers as solve_group does, except that the core may
   decline (false) where an answer exists. */

/* The first-item table over the whole target: fits groups of at most 65535 items. */
bool solve_by_table(Search &s, const Group &g, uint64_t target);
/* Meet in the middle: sorted sum lists of two halves. */
bool solve_by_halves(Search &s, const Group &g, uint64_t target);
/* A small core of items whose sums cover a wide band, the rest taken greedily into it. */
bool solve_by_core(Search &s, const Group &g, uint64_t target);
/* The sums of two halves meet at a split of the target; each half is then solved for its part. */
bool solve_by_split(Search &s, const Group &g, uint64_t target);
/* Many items with a huge total: a core of two 2^20-entry lists, adjustments and a greedy rest;
   may decline (false) where an answer exists. */
bool solve_by_wide_core(Search &s, const Group &g, uint64_t target);
/* The most items any sum up to `target` holds (the smallest first). */
size_t most_fitting(const std::vector<uint64_t> &values, uint64_t target);
/* One, two or three items: exact where most_fitting() is at most 3. */
bool solve_by_few(Search &s, const Group &g, uint64_t target);
/* Exactly four items, as two pairs: kHugeFound, kHugeNone, or kHugeMissed where the pair sums
   would be too many. Needs most_fitting() >= 4. */
int solve_by_four(Search &s, const Group &g, uint64_t target);
/* Four lists of 2^(n/4) entries walked in pairs through heaps: exact in small memory. */
bool solve_by_four_lists(Search &s, const Group &g, uint64_t target);
/* Its heap steps, in comparisons. */
double four_lists_work(size_t n);

/* A few items each larger than all the smaller ones together, their sums listed and the rest
   solved for what each leaves: kHugeFound, kHugeNone (no sum), or kHugeMissed where the items
   have no such shape or too many sums of them were tried (the usual ways answer then). */
enum HugeResult { kHugeMissed, kHugeNone, kHugeFound };
int solve_by_huge(Search &s, const Group &g, uint64_t target);

/* Before any grouping, on the positions of the non-zero values in ascending order of value:
   kBandFound with the positions of values making `target` (> 0) appended to `picked`; kBandNone
   where no count of values can make it; kBandMissed where the slide found nothing or the values
   are no narrow band (the exact ways answer then). */
enum BandResult { kBandMissed, kBandNone, kBandFound };
int solve_by_band(const uint64_t *values, const std::vector<size_t> &order, uint64_t target,
                  std::vector<size_t> &picked);

/* Knobs that tests turn to force each way on small inputs. */
enum Way : int64_t {
    kWayAuto = 0,
    kWayTable = 1,
    kWayHalves = 2,
    kWayCore = 3,
    kWaySplit = 4,
    kWayWideCore = 5,
    kWayFourLists = 6,
    kWayBand = 7,  // the slide of a narrow band tried on any values, the usual ways after it
    kWayHuge = 8,  // the few largest items listed even where they are not huge
    kWayFew = 9    // one, two or three items, where no more fit
};
int64_t forced_way();
/* Items of the smallest core tried. */
size_t first_core_items();
/* Items of the wide core. */
size_t wide_core_items();
/* Items the four lists share out; the others are taken or left one by one around them. */
size_t four_lists_items();

}  // namespace zo_witness

extern "C" {
/* Sets a knob (0: the way, 1: the smallest core, 2: the wide core's items, 3: the four lists'
   items) and returns its old value; INT64_MIN for a knob
   that does not exist. For tests. */
ZO_API int64_t zo_witness_tune(int knob, int64_t value);
}

#endif /* ZO_WITNESS_SEARCH_H */
