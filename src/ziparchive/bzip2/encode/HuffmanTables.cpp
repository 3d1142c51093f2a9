#include "ziparchive/bzip2/encode/HuffmanTables.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

constexpr int kRefinements = 4;

// The depth of every leaf of a Huffman tree over the weights, sorted ascending, built with the
// two-queue method: leaves in order, merged nodes in the order they were made.
int HuffmanDepths(const std::uint64_t* weights, int count, int* depths) {
    // Nodes 0..count-1 are leaves, count.. the merged ones.
    std::uint64_t weight[2 * kMaxAlphabet];
    int parent[2 * kMaxAlphabet];
    std::copy(weights, weights + count, weight);
    int leaf = 0, node = count, made = count;
    auto takeSmallest = [&] {
        if (leaf < count && (node >= made || weight[leaf] <= weight[node]))
            return leaf++;
        return node++;
    };
    while (made < 2 * count - 1) {
        const int a = takeSmallest();
        const int b = takeSmallest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made;
        ++made;
    }
    int depth[2 * kMaxAlphabet];
    depth[made - 1] = 0;
    int deepest = 0;
    for (int n = made - 2; n >= 0; --n) {
        depth[n] = depth[parent[n]] + 1;
        if (n < count)
            deepest = std::max(deepest, depth[n]);
    }
    std::copy(depth, depth + count, depths);
    return deepest;
}

} // namespace

void BuildCodeLengths(const std::uint32_t* frequency, int alphabet, int maxLength,
                      std::uint8_t* lengths) {
    int order[kMaxAlphabet];
    std::iota(order, order + alphabet, 0);
    std::stable_sort(order, order + alphabet,
                     [&](int a, int b) { return frequency[a] < frequency[b]; });
    std::uint64_t weights[kMaxAlphabet];
    for (int i = 0; i < alphabet; ++i)
        weights[i] = std::max<std::uint64_t>(frequency[order[i]], 1);
    int depths[kMaxAlphabet];
    // Too deep a tree: flatten the weights, which keeps their order, until it fits.
    while (HuffmanDepths(weights, alphabet, depths) > maxLength) {
        for (int i = 0; i < alphabet; ++i)
            weights[i] = weights[i] / 2 + 1;
    }
    for (int i = 0; i < alphabet; ++i)
        lengths[order[i]] = static_cast<std::uint8_t>(depths[i]);
}

void PlanHuffmanTables(const std::uint16_t* symbols, const SymbolCounts& counts,
                       HuffmanPlan& plan) {
    const std::size_t count = counts.count;
    const int alphabet = counts.alphabet;
    const int tables = count < 200 ? 2 : count < 600 ? 3 : count < 1200 ? 4 : count < 2400 ? 5 : 6;
    plan.tables = tables;

    // Start from tables that each favour one stretch of the alphabet, the stretches holding
    // about equal shares of the symbols.
    std::size_t left = count;
    int first = 0;
    for (int t = 0; t < tables; ++t) {
        const int later = tables - t - 1;
        const std::size_t share = left / static_cast<std::size_t>(later + 1);
        std::size_t taken = 0;
        int end = first;
        // Each later table keeps at least one symbol of its own where the alphabet allows.
        while (end < alphabet - later && (end == first || taken < share))
            taken += counts.frequency[end++];
        if (later == 0)
            end = alphabet;
        for (int s = 0; s < alphabet; ++s)
            plan.lengths[t][s] = (s >= first && s < end) ? 0 : 15;
        left -= std::min(left, taken);
        first = end;
    }

    const std::size_t groups = (count + kGroupSize - 1) / kGroupSize;
    plan.selectors.resize(groups);
    std::uint32_t frequency[kMaxTables][kMaxAlphabet];
    // The cost of a symbol in tables 0-3 and 4-5, packed in 16-bit lanes: a group's costs
    // under all tables take two additions per symbol.
    std::uint64_t costLow[kMaxAlphabet];
    std::uint64_t costHigh[kMaxAlphabet];
    for (int pass = 0; pass < kRefinements; ++pass) {
        for (int s = 0; s < alphabet; ++s) {
            std::uint64_t low = 0, high = 0;
            for (int t = 0; t < tables; ++t) {
                if (t < 4)
                    low |= std::uint64_t{plan.lengths[t][s]} << (16 * t);
                else
                    high |= std::uint64_t{plan.lengths[t][s]} << (16 * (t - 4));
            }
            costLow[s] = low;
            costHigh[s] = high;
        }
        std::memset(frequency, 0, sizeof frequency);
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t begin = g * kGroupSize;
            const std::size_t end = std::min(begin + kGroupSize, count);
            std::uint64_t low = 0, high = 0;
            for (std::size_t i = begin; i < end; ++i) {
                low += costLow[symbols[i]];
                high += costHigh[symbols[i]];
            }
            int best = 0;
            unsigned bestCost = static_cast<unsigned>(low & 0xffff);
            for (int t = 1; t < tables; ++t) {
                const unsigned cost = static_cast<unsigned>(
                    (t < 4 ? low >> (16 * t) : high >> (16 * (t - 4))) & 0xffff);
                if (cost < bestCost) {
                    bestCost = cost;
                    best = t;
                }
            }
            plan.selectors[g] = static_cast<std::uint8_t>(best);
            std::uint32_t* chosen = frequency[best];
            for (std::size_t i = begin; i < end; ++i)
                ++chosen[symbols[i]];
        }
        for (int t = 0; t < tables; ++t)
            BuildCodeLengths(frequency[t], alphabet, kMaxCodeLength, plan.lengths[t]);
    }
}
