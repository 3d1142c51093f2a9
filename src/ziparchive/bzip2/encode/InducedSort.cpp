#include "ziparchive/bzip2/encode/InducedSort.h"

#include <algorithm>
#include <vector>

// Induced sorting: each suffix is S-type when it is smaller than the one after it, L-type when
// larger; an S-type suffix right after an L-type one is leftmost-S (LMS). Once the LMS suffixes
// are in order, one pass from the left puts every L-type suffix in place behind its successor,
// and one from the right every S-type one. Sorting the LMS suffixes is the same problem on a
// string of at most half the length: the names of the text's LMS substrings (from one LMS
// position to the next), which one induced pass over the unsorted LMS positions puts in order.
// The text is taken to end with a sentinel smaller than every symbol, so that the last suffix
// is L-type and every LMS substring ends.

namespace {

using Index = std::int32_t;
constexpr Index kEmpty = -1;

// How often each symbol occurs.
template <typename Symbol>
std::vector<Index> CountSymbols(const Symbol* text, Index size, Index alphabet) {
    std::vector<Index> count(static_cast<std::size_t>(alphabet));
    for (Index i = 0; i < size; ++i)
        ++count[static_cast<std::size_t>(text[i])];
    return count;
}

// Each bucket's first place (heads) or the place after its last (ends): suffixes starting with
// symbol c take places [heads[c], ends[c]).
void FindBuckets(const std::vector<Index>& count, std::vector<Index>& bucket, bool ends) {
    Index sum = 0;
    for (std::size_t c = 0; c < count.size(); ++c) {
        sum += count[c];
        bucket[c] = ends ? sum : sum - count[c];
    }
}

// A suffix's type: S-type (bit 0) when smaller than the one after it, and leftmost-S (bit 1).
constexpr std::uint8_t kS = 1, kLms = 2;

// From the LMS suffixes placed at their buckets' ends, places the L-type suffixes from the left
// and then all S-type ones from the right.
template <typename Symbol>
void Induce(const Symbol* text, Index* order, Index size, const std::vector<std::uint8_t>& type,
            const std::vector<Index>& count, std::vector<Index>& bucket) {
    FindBuckets(count, bucket, false);
    // The sentinel sorts first; the suffix before it is the last one.
    order[bucket[static_cast<std::size_t>(text[size - 1])]++] = size - 1;
    for (Index i = 0; i < size; ++i) {
        const Index before = order[i] - 1;
        if (order[i] > 0 && !(type[static_cast<std::size_t>(before)] & kS))
            order[bucket[static_cast<std::size_t>(text[before])]++] = before;
    }
    FindBuckets(count, bucket, true);
    for (Index i = size; i-- > 0;) {
        const Index before = order[i] - 1;
        if (order[i] > 0 && (type[static_cast<std::size_t>(before)] & kS))
            order[--bucket[static_cast<std::size_t>(text[before])]] = before;
    }
}

template <typename Symbol>
void SuffixArray(const Symbol* text, Index* order, Index size, Index alphabet) {
    if (size == 1) {
        order[0] = 0;
        return;
    }
    std::vector<std::uint8_t> type(static_cast<std::size_t>(size));
    for (Index i = size - 1; i-- > 0;) {
        const auto at = static_cast<std::size_t>(i);
        if (text[i] < text[i + 1] || (text[i] == text[i + 1] && (type[at + 1] & kS)))
            type[at] = kS;
        else if (type[at + 1] & kS)
            type[at + 1] |= kLms;
    }
    const auto isLms = [&](Index i) { return (type[static_cast<std::size_t>(i)] & kLms) != 0; };
    const std::vector<Index> count = CountSymbols(text, size, alphabet);
    std::vector<Index> bucket(count.size());

    // The LMS substrings in order.
    std::fill(order, order + size, kEmpty);
    FindBuckets(count, bucket, true);
    for (Index i = 1; i < size; ++i) {
        if (isLms(i))
            order[--bucket[static_cast<std::size_t>(text[i])]] = i;
    }
    Induce(text, order, size, type, count, bucket);

    // Their positions in that order to the front; no two LMS positions are adjacent, so there
    // are at most size / 2 of them, and each one's name fits at lmsCount + position / 2.
    Index lmsCount = 0;
    for (Index i = 0; i < size; ++i) {
        if (isLms(order[i]))
            order[lmsCount++] = order[i];
    }
    std::fill(order + lmsCount, order + size, kEmpty);
    Index names = 0;
    Index previous = kEmpty;
    for (Index k = 0; k < lmsCount; ++k) {
        const Index position = order[k];
        bool differs = previous == kEmpty;
        for (Index d = 0; !differs; ++d) {
            const Index a = position + d, b = previous + d;
            // The sentinel equals nothing.
            if (a == size || b == size || text[a] != text[b] ||
                type[static_cast<std::size_t>(a)] != type[static_cast<std::size_t>(b)])
                differs = true;
            else if (d > 0 && isLms(a))
                break; // both substrings end here, equal
        }
        if (differs) {
            ++names;
            previous = position;
        }
        order[lmsCount + position / 2] = names - 1;
    }
    // The names in text order, gathered at the end: the shorter string.
    Index* reduced = order + size;
    for (Index i = size; i-- > lmsCount;) {
        if (order[i] != kEmpty)
            *--reduced = order[i];
    }
    // Its suffix array in order[0, lmsCount): at once when every name is its own.
    if (names < lmsCount)
        SuffixArray(reduced, order, lmsCount, names);
    else
        for (Index i = 0; i < lmsCount; ++i)
            order[reduced[i]] = i;

    // From ranks among the LMS positions back to text positions, then each sorted LMS suffix
    // to its bucket's end, the last first, so none moves over one not yet moved.
    Index k = 0;
    for (Index i = 1; i < size; ++i) {
        if (isLms(i))
            reduced[k++] = i;
    }
    for (Index i = 0; i < lmsCount; ++i)
        order[i] = reduced[order[i]];
    std::fill(order + lmsCount, order + size, kEmpty);
    FindBuckets(count, bucket, true);
    for (Index i = lmsCount; i-- > 0;) {
        const Index position = order[i];
        order[i] = kEmpty;
        order[--bucket[static_cast<std::size_t>(text[position])]] = position;
    }
    Induce(text, order, size, type, count, bucket);
}

} // namespace

void InducedSuffixArray(const std::uint8_t* text, std::int32_t* order, std::size_t size) {
    SuffixArray(text, order, static_cast<Index>(size), 256);
}
