#include "ziparchive/bzip2/encode/HuffmanTables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRefinements = 3;
constexpr std::size_t kBothStartsFrom = 20'000; // symbols

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
    // Sorted by weight as one key, the symbol in the low bits: a plain sort of integers, with
    // neither an allocation nor a comparison callback, matters when blocks are small. Unused
    // symbols weigh 1 and come in symbol order already; a table built from a few groups leaves
    // most symbols unused, so only the used ones are sorted, and the two lists merged.
    std::uint64_t used[kMaxAlphabet];
    std::uint64_t unused[kMaxAlphabet];
    int usedCount = 0, unusedCount = 0;
    for (int s = 0; s < alphabet; ++s) {
        const auto symbol = static_cast<std::uint64_t>(s);
        if (frequency[s] == 0)
            unused[unusedCount++] = std::uint64_t{1} << 9 | symbol;
        else
            used[usedCount++] = std::uint64_t{frequency[s]} << 9 | symbol;
    }
    std::sort(used, used + usedCount);
    std::uint64_t keys[kMaxAlphabet];
    std::merge(used, used + usedCount, unused, unused + unusedCount, keys);
    std::uint64_t weights[kMaxAlphabet];
    for (int i = 0; i < alphabet; ++i)
        weights[i] = keys[i] >> 9;
    int depths[kMaxAlphabet];
    // Too deep a tree: flatten the weights, which keeps their order, until it fits.
    while (HuffmanDepths(weights, alphabet, depths) > maxLength) {
        for (int i = 0; i < alphabet; ++i)
            weights[i] = weights[i] / 2 + 1;
    }
    for (int i = 0; i < alphabet; ++i)
        lengths[keys[i] & 511] = static_cast<std::uint8_t>(depths[i]);
}

namespace {

// Tables that each favour one stretch of the alphabet, the stretches holding about equal shares
// of the symbols.
void StartFromAlphabet(const SymbolCounts& counts, HuffmanPlan& plan) {
    const int alphabet = counts.alphabet;
    std::size_t left = counts.count;
    int first = 0;
    for (int t = 0; t < plan.tables; ++t) {
        const int later = plan.tables - t - 1;
        const std::size_t share = left / static_cast<std::size_t>(later + 1);
        std::size_t taken = 0;
        int end = first;
        while (end < alphabet && taken < share)
            taken += counts.frequency[end++];
        // Every other stretch hands its last symbol on, so the stretches do not all lean the
        // same way.
        if (end - first > 1 && t != 0 && later != 0 && t % 2 == 1)
            taken -= counts.frequency[--end];
        if (later == 0)
            end = alphabet;
        for (int s = 0; s < alphabet; ++s)
            plan.lengths[t][s] = (s >= first && s < end) ? 0 : 15;
        left -= std::min(left, taken);
        first = end;
    }
}

// Tables for equal stretches of the block, each built from its own symbols: a block that
// changes its nature along the way gets a table for each part.
void StartFromBlock(const std::uint16_t* symbols, const SymbolCounts& counts, HuffmanPlan& plan) {
    const auto tables = static_cast<std::size_t>(plan.tables);
    for (std::size_t t = 0; t < tables; ++t) {
        std::uint32_t frequency[kMaxAlphabet] = {};
        const std::size_t end = (t + 1) * counts.count / tables;
        for (std::size_t i = t * counts.count / tables; i < end; ++i)
            ++frequency[symbols[i]];
        BuildCodeLengths(frequency, counts.alphabet, kMaxCodeLength, plan.lengths[t]);
    }
}

// A symbol's code length under each table, or a group's cost under each: one lane a table.
using TableCosts = std::uint16_t __attribute__((vector_size(16)));
static_assert(kMaxTables <= 8 && kGroupSize * kMaxCodeLength <= 0xffff);

// Chooses the best table for each group and rebuilds each table from the groups that chose
// it, a few times over. Returns the bits the symbols then take.
std::uint64_t Refine(const std::uint16_t* symbols, const SymbolCounts& counts, HuffmanPlan& plan) {
    const std::size_t count = counts.count;
    const int alphabet = counts.alphabet;
    const int tables = plan.tables;
    const std::size_t groups = (count + kGroupSize - 1) / kGroupSize;
    plan.selectors.resize(groups);
    // Each table's symbol counts over the groups that chose it. After the first pass only the
    // groups that change their choice move their symbols from one table to the other, and only
    // the tables they move between are rebuilt. The first pass counts the odd places apart:
    // runs of one symbol are common, and counting them into one place would wait on each
    // increment in turn.
    std::uint32_t frequency[kMaxTables][kMaxAlphabet];
    std::uint32_t oddFrequency[kMaxTables][kMaxAlphabet];
    const std::size_t row = sizeof(std::uint32_t) * static_cast<std::size_t>(alphabet);
    for (int t = 0; t < tables; ++t) {
        std::memset(frequency[t], 0, row);
        std::memset(oddFrequency[t], 0, row);
    }
    TableCosts cost[kMaxAlphabet];
    for (int pass = 0; pass < kRefinements; ++pass) {
        // The starting lengths only rank the tables; every table is built after the first pass.
        bool changed[kMaxTables];
        std::fill(std::begin(changed), std::end(changed), pass == 0);
        for (int s = 0; s < alphabet; ++s) {
            cost[s] = TableCosts{};
            for (int t = 0; t < tables; ++t)
                cost[s][t] = plan.lengths[t][s];
        }
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t begin = g * kGroupSize;
            const std::size_t end = std::min(begin + kGroupSize, count);
            TableCosts total{};
            for (std::size_t i = begin; i < end; ++i)
                total += cost[symbols[i]];
            int best = 0;
            for (int t = 1; t < tables; ++t) {
                if (total[t] < total[best])
                    best = t;
            }
            if (pass == 0) {
                std::uint32_t* even = frequency[best];
                std::uint32_t* odd = oddFrequency[best];
                std::size_t i = begin;
                for (; i + 1 < end; i += 2) {
                    ++even[symbols[i]];
                    ++odd[symbols[i + 1]];
                }
                if (i < end)
                    ++even[symbols[i]];
            } else if (plan.selectors[g] != best) {
                std::uint32_t* left = frequency[plan.selectors[g]];
                std::uint32_t* chosen = frequency[best];
                for (std::size_t i = begin; i < end; ++i) {
                    --left[symbols[i]];
                    ++chosen[symbols[i]];
                }
                changed[plan.selectors[g]] = changed[best] = true;
            }
            plan.selectors[g] = static_cast<std::uint8_t>(best);
        }
        if (pass == 0) {
            for (int t = 0; t < tables; ++t) {
                for (int s = 0; s < alphabet; ++s)
                    frequency[t][s] += oddFrequency[t][s];
            }
        }
        // A table that kept the same groups would only be rebuilt the same; when all did, so
        // would every pass after this one.
        bool anyChanged = false;
        for (int t = 0; t < tables; ++t) {
            if (changed[t])
                BuildCodeLengths(frequency[t], alphabet, kMaxCodeLength, plan.lengths[t]);
            anyChanged = anyChanged || changed[t];
        }
        if (!anyChanged)
            break;
    }
    std::uint64_t bits = 0;
    for (int t = 0; t < tables; ++t) {
        for (int s = 0; s < alphabet; ++s)
            bits += std::uint64_t{frequency[t][s]} * plan.lengths[t][s];
    }
    return bits;
}

// The bits the tables' code lengths and the selectors take in the stream.
std::uint64_t TableBits(const HuffmanPlan& plan, int alphabet) {
    std::uint64_t bits = 0;
    for (int t = 0; t < plan.tables; ++t) {
        int current = plan.lengths[t][0];
        bits += 5;
        for (int s = 0; s < alphabet; ++s) {
            const int length = plan.lengths[t][s];
            bits += 1 + 2 * static_cast<std::uint64_t>(std::abs(length - current));
            current = length;
        }
    }
    std::uint8_t list[kMaxTables] = {0, 1, 2, 3, 4, 5};
    for (const std::uint8_t selector : plan.selectors) {
        int place = 0;
        while (list[place] != selector)
            ++place;
        std::memmove(list + 1, list, static_cast<std::size_t>(place));
        list[0] = selector;
        bits += static_cast<std::uint64_t>(place) + 1;
    }
    return bits;
}

} // namespace

void PlanHuffmanTables(const std::uint16_t* symbols, const SymbolCounts& counts, HuffmanPlan& plan,
                       HuffmanPlan& spare) {
    const std::size_t count = counts.count;
    plan.tables = count < 200 ? 2 : count < 600 ? 3 : count < 1200 ? 4 : count < 2400 ? 5 : 6;
    spare.tables = plan.tables;
    // Refinement finds a local optimum, and which one depends on the start; neither start is
    // best on every block, so both are tried, except on small blocks: there the table building
    // costs as much as the block sort, and a block seldom changes its nature within so little.
    StartFromAlphabet(counts, plan);
    const std::uint64_t bits = Refine(symbols, counts, plan) + TableBits(plan, counts.alphabet);
    if (count < kBothStartsFrom)
        return;
    StartFromBlock(symbols, counts, spare);
    if (Refine(symbols, counts, spare) + TableBits(spare, counts.alphabet) < bits)
        std::swap(plan, spare);
}
