#include "common/adaptive_huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bit_capture.h"

namespace qmz {
namespace {

// A direct model of the same code: the node order kept as an explicit array
// and the leader found by scanning it from the front. Slow, but with nothing
// clever in it, so it checks the run-record bookkeeping of the real model.
class ReferenceModel {
  public:
    explicit ReferenceModel(int n) : n_(n) { reset(); }

    void reset() {
        nodes_.assign(1, Node{0, -1, -1, -1, 0});  // the escape leaf alone
        order_.assign(1, 0);
        unseen_.clear();
        for (int s = 0; s < n_; ++s) unseen_.push_back(s);
        leafOf_.assign(n_, -1);
        leafOf_[0] = 0;
        nodes_[0].symbol = 0;
        escape_ = 0;
    }

    std::string code(int s) const {
        std::string bits;
        int node = leafOf_[s];
        std::string index;
        if (node < 0 || nodes_[node].weight == 0) {
            node = escape_;
            const int i =
                static_cast<int>(std::find(unseen_.begin(), unseen_.end(), s) - unseen_.begin());
            const int m = static_cast<int>(unseen_.size());
            int k = 0;
            while ((1 << k) < m) ++k;
            for (int b = k - 1; b >= 0; --b) index += ((i >> b) & 1) ? '1' : '0';
        }
        for (; nodes_[node].parent >= 0; node = nodes_[node].parent) {
            const Node& p = nodes_[nodes_[node].parent];
            bits.insert(bits.begin(), p.child1 == node ? '1' : '0');
        }
        return bits + index;
    }

    void update(int s) {
        int x;
        if (leafOf_[s] < 0 || nodes_[leafOf_[s]].weight == 0) {
            const auto it = std::find(unseen_.begin(), unseen_.end(), s);
            const bool wasHead = it == unseen_.begin();
            unseen_.erase(it);
            if (unseen_.empty()) {
                x = escape_;  // the escape leaf becomes the leaf of s in place
                nodes_[x].symbol = s;
                leafOf_[s] = x;
                escape_ = -1;
            } else {
                const int e = escape_;
                const int internal = static_cast<int>(nodes_.size());
                nodes_.push_back(Node{0, nodes_[e].parent, -1, -1, -1});
                int leaf = e;
                if (!wasHead) {
                    leaf = static_cast<int>(nodes_.size());
                    nodes_.push_back(Node{0, -1, -1, -1, s});
                }
                // Which node keeps the escape role: when s was the head, the old
                // escape node becomes s's leaf and a fresh node stands for the rest.
                int esc = e;
                if (wasHead) {
                    esc = static_cast<int>(nodes_.size());
                    nodes_.push_back(Node{0, -1, -1, -1, unseen_.front()});
                    leafOf_[unseen_.front()] = esc;
                }
                leafOf_[s] = leaf;
                const int parent = nodes_[e].parent;
                if (parent >= 0) {
                    (nodes_[parent].child0 == e ? nodes_[parent].child0 : nodes_[parent].child1) =
                        internal;
                }
                nodes_[internal].child0 = esc;
                nodes_[internal].child1 = leaf;
                nodes_[leaf].parent = internal;
                nodes_[esc].parent = internal;
                order_.back() = internal;
                order_.push_back(leaf);
                order_.push_back(esc);
                escape_ = esc;
                x = leaf;
            }
        } else {
            x = leafOf_[s];
        }
        while (nodes_[x].parent >= 0) {
            if (nodes_[x].weight > 0) {
                int leader = -1;
                for (std::size_t p = 1; p < order_.size(); ++p) {
                    if (nodes_[order_[p]].weight == nodes_[x].weight) {
                        leader = order_[p];
                        break;
                    }
                }
                if (leader != x && leader != nodes_[x].parent) swapNodes(x, leader);
            }
            ++nodes_[x].weight;
            x = nodes_[x].parent;
        }
        ++nodes_[x].weight;
    }

  private:
    struct Node {
        int weight, parent, child0, child1, symbol;
    };

    void swapNodes(int a, int b) {
        const int pa = nodes_[a].parent, pb = nodes_[b].parent;
        int& slotA = nodes_[pa].child0 == a ? nodes_[pa].child0 : nodes_[pa].child1;
        int& slotB = nodes_[pb].child0 == b ? nodes_[pb].child0 : nodes_[pb].child1;
        std::swap(slotA, slotB);
        std::swap(nodes_[a].parent, nodes_[b].parent);
        std::iter_swap(std::find(order_.begin(), order_.end(), a),
                       std::find(order_.begin(), order_.end(), b));
    }

    int n_;
    std::vector<Node> nodes_;
    std::vector<int> order_;
    std::vector<int> unseen_;
    std::vector<int> leafOf_;
    int escape_;
};

struct Encoded {
    std::string bytes;
    int64_t bits;
};

Encoded encodeAll(int n, const std::vector<int>& symbols, int resetEvery = 0) {
    StringSink out;
    PayloadBitWriter writer(out);
    AdaptiveHuffmanModel model(n);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (resetEvery > 0 && i > 0 && i % resetEvery == 0) model.reset();
        model.encodeSymbol(symbols[i], writer);
    }
    const int64_t bits = writer.bitCount();
    writer.putFinalByte();
    writer.flush();
    return {out.str(), bits};
}

std::string codesOf(int n, const std::vector<int>& symbols) {
    const Encoded e = encodeAll(n, symbols);
    // The final byte holds the pending bits; count them from the reference.
    ReferenceModel ref(n);
    std::size_t total = 0;
    for (int s : symbols) {
        total += ref.code(s).size();
        ref.update(s);
    }
    return test::bitsOf(e.bytes, total);
}

TEST(AdaptiveHuffmanModel, WorkedExampleBitForBit) {
    const std::vector<int> symbols = {3, 3, 0, 3, 0, 4, 0, 0};
    EXPECT_EQ(codesOf(5, symbols),
              std::string("011") + "1" + "000" + "1" + "01" + "0010" + "01" + "11");
}

TEST(AdaptiveHuffmanModel, FirstSymbolOfAFreshModelIsIndexBitsOnly) {
    for (const auto& [n, k] :
         std::vector<std::pair<int, int>>{{152, 8}, {2060, 12}, {940, 10}, {5, 3}}) {
        // The last symbol's index n - 1 in k bits, most significant first.
        std::string expected;
        for (int b = k - 1; b >= 0; --b) expected += (((n - 1) >> b) & 1) ? '1' : '0';
        EXPECT_EQ(codesOf(n, {n - 1}), expected) << "n=" << n;
    }
    // The same symbol twice: the second code is the single bit 1.
    EXPECT_EQ(codesOf(152, {7, 7}),
              "00000111"
              "1");
}

TEST(AdaptiveHuffmanModel, EscapeLengthJumpsAboveAPowerOfTwo) {
    // n = 9: M = 9 needs 4 bits even for index 0; after one symbol M = 8 needs 3.
    EXPECT_EQ(codesOf(9, {0}), "0000");
    EXPECT_EQ(codesOf(9, {0, 1}),
              "0000"
              "0"
              "000");
}

TEST(AdaptiveHuffmanModel, LastUnseenSymbolNeedsNoIndexBits) {
    // n = 2: the first symbol takes 1 index bit, the second (M = 1) only its path.
    EXPECT_EQ(codesOf(2, {1, 0}),
              "1"
              "0");
    // Then the weights tie and the second 1 moves its leaf to child1.
    EXPECT_EQ(codesOf(2, {0, 1, 1, 0}),
              "0"
              "0"
              "0"
              "0");
}

std::vector<int> skewedSymbols(std::mt19937& rng, int n, std::size_t count) {
    // Mostly small symbols, a geometric-like spread, now and then anything.
    std::geometric_distribution<int> geo(0.15);
    std::uniform_int_distribution<int> any(0, n - 1);
    std::uniform_int_distribution<int> pick(0, 9);
    std::vector<int> out(count);
    for (auto& s : out) s = pick(rng) == 0 ? any(rng) : std::min(geo(rng), n - 1);
    return out;
}

TEST(AdaptiveHuffmanModel, AgreesWithDirectLeaderSearch) {
    std::mt19937 rng(1234);
    for (int n : {2, 3, 5, 17, 152, 940}) {
        for (int trial = 0; trial < 4; ++trial) {
            const std::vector<int> symbols = skewedSymbols(rng, n, 3000);
            const Encoded e = encodeAll(n, symbols);
            ReferenceModel ref(n);
            std::string expected;
            for (int s : symbols) {
                expected += ref.code(s);
                ref.update(s);
            }
            ASSERT_EQ(test::bitsOf(e.bytes, expected.size()), expected)
                << "n=" << n << " trial=" << trial;
        }
    }
}

TEST(AdaptiveHuffmanModel, ExhaustsSmallAlphabetsAndKeepsAgreeing) {
    // Every symbol of the alphabet appears, so the escape leaf disappears.
    std::mt19937 rng(99);
    for (int n : {2, 4, 7, 32}) {
        std::vector<int> symbols;
        for (int s = 0; s < n; ++s) symbols.push_back(s);
        std::shuffle(symbols.begin(), symbols.end(), rng);
        const std::vector<int> tail = skewedSymbols(rng, n, 500);
        symbols.insert(symbols.end(), tail.begin(), tail.end());
        ReferenceModel ref(n);
        std::string expected;
        for (int s : symbols) {
            expected += ref.code(s);
            ref.update(s);
        }
        EXPECT_EQ(codesOf(n, symbols), expected) << "n=" << n;
    }
}

TEST(AdaptiveHuffmanModel, RoundTripsOverTheRealAlphabetsAcrossResets) {
    std::mt19937 rng(7);
    for (int n : {152, 2060, 940}) {
        const std::vector<int> symbols = skewedSymbols(rng, n, 20000);
        const int resetEvery = 4999;
        const Encoded e = encodeAll(n, symbols, resetEvery);
        const std::string payload = e.bytes;
        PayloadBitReader reader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        AdaptiveHuffmanModel model(n);
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            if (i > 0 && i % resetEvery == 0) model.reset();
            ASSERT_EQ(model.decodeSymbol(reader), symbols[i]) << "n=" << n << " at " << i;
        }
        EXPECT_FALSE(reader.pastEnd());
    }
}

TEST(AdaptiveHuffmanModel, ResetCodesLikeAFreshModel) {
    std::mt19937 rng(5);
    const std::vector<int> first = skewedSymbols(rng, 152, 700);
    const std::vector<int> second = skewedSymbols(rng, 152, 700);
    StringSink a, b;
    {
        PayloadBitWriter w(a);
        AdaptiveHuffmanModel used(152);
        for (int s : first) used.encodeSymbol(s, w);
        w.flushPartialByte();
        const std::size_t mark = static_cast<std::size_t>(w.bitCount() / 8);
        used.reset();
        for (int s : second) used.encodeSymbol(s, w);
        w.putFinalByte();
        w.flush();
        PayloadBitWriter w2(b);
        AdaptiveHuffmanModel fresh(152);
        for (int s : second) fresh.encodeSymbol(s, w2);
        w2.putFinalByte();
        w2.flush();
        EXPECT_EQ(a.str().substr(mark), b.str());
    }
}

std::string referenceCodes(int n, const std::vector<int>& symbols, int resetEvery = 0) {
    ReferenceModel ref(n);
    std::string bits;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (resetEvery > 0 && i > 0 && i % resetEvery == 0) ref.reset();
        bits += ref.code(symbols[i]);
        ref.update(symbols[i]);
    }
    return bits;
}

void expectDecodes(int n, const std::vector<int>& symbols, const std::string& bytes,
                   int resetEvery = 0) {
    const std::string payload = bytes;
    PayloadBitReader reader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    AdaptiveHuffmanModel model(n);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (resetEvery > 0 && i > 0 && i % resetEvery == 0) model.reset();
        ASSERT_EQ(model.decodeSymbol(reader), symbols[i]) << "n=" << n << " at " << i;
    }
    EXPECT_FALSE(reader.pastEnd());
}

TEST(AdaptiveHuffmanModel, DeepTreesFromFibonacciCountsAgreeBothWays) {
    // Symbol s occurs Fib(s + 1) times, so the tree degenerates into a chain
    // and the rarest symbols get codes of about n bits.
    const int n = 24;
    std::vector<int> symbols;
    int64_t a = 1, b = 1;
    for (int s = 0; s < n; ++s) {
        symbols.insert(symbols.end(), static_cast<std::size_t>(a), n - 1 - s);
        const int64_t next = a + b;
        a = b;
        b = next;
    }
    std::mt19937 rng(3);
    std::shuffle(symbols.begin(), symbols.end(), rng);
    const std::string expected = referenceCodes(n, symbols);
    const Encoded e = encodeAll(n, symbols);
    ASSERT_EQ(test::bitsOf(e.bytes, expected.size()), expected);
    expectDecodes(n, symbols, e.bytes);

    // The tree really is deep: the rarest symbol, coded last, has a long code.
    ReferenceModel ref(n);
    for (int s : symbols) ref.update(s);
    EXPECT_GE(ref.code(n - 1).size(), 20u);
}

TEST(AdaptiveHuffmanModel, ExhaustedAlphabetsDecodeAndResetCleanly) {
    // Every symbol seen (no escape leaf left), then a reset in mid-stream and
    // a second round: the slot after the last one and the escape leaf's
    // return must both be handled, on both sides.
    std::mt19937 rng(17);
    for (int n : {2, 3, 8, 45, 152}) {
        std::vector<int> round;
        for (int s = 0; s < n; ++s) round.push_back(s);
        std::shuffle(round.begin(), round.end(), rng);
        const std::vector<int> tail = skewedSymbols(rng, n, 400);
        round.insert(round.end(), tail.begin(), tail.end());
        std::vector<int> symbols = round;
        std::shuffle(round.begin(), round.end(), rng);
        symbols.insert(symbols.end(), round.begin(), round.end());
        const int resetEvery = static_cast<int>(round.size());

        const std::string expected = referenceCodes(n, symbols, resetEvery);
        const Encoded e = encodeAll(n, symbols, resetEvery);
        ASSERT_EQ(test::bitsOf(e.bytes, expected.size()), expected) << "n=" << n;
        expectDecodes(n, symbols, e.bytes, resetEvery);
    }
}

TEST(AdaptiveHuffmanModel, BadEscapeIndexInAGrownTreeLeavesTheModelAsItWas) {
    // n = 6 with three symbols seen: M = 3 needs 2 index bits, and index 3
    // names no symbol. The escape path is taken from a reference code.
    const int n = 6;
    const std::vector<int> before = {4, 1, 4, 2, 4};
    ReferenceModel ref(n);
    std::string bits;
    for (int s : before) {
        bits += ref.code(s);
        ref.update(s);
    }
    const std::string unseenCode = ref.code(0);  // escape path + 2 index bits
    bits += unseenCode.substr(0, unseenCode.size() - 2) + "11";
    std::string bytes((bits.size() + 7) / 8, '\0');
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') bytes[i / 8] = static_cast<char>(bytes[i / 8] | (1 << (i % 8)));
    }

    const std::string payload = bytes;
    PayloadBitReader reader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    AdaptiveHuffmanModel damaged(n);
    for (int s : before) ASSERT_EQ(damaged.decodeSymbol(reader), s);
    EXPECT_EQ(damaged.decodeSymbol(reader), -1);
    EXPECT_EQ(damaged.unseenCount(), 3);

    // From here on it codes exactly like a model that never met the bad bits.
    AdaptiveHuffmanModel clean(n);
    StringSink a, b;
    PayloadBitWriter wa(a), wb(b);
    for (int s : before) clean.encodeSymbol(s, wb);
    wb.flushPartialByte();
    const auto prefixBytes = static_cast<std::size_t>(wb.bitCount() / 8);
    std::mt19937 rng(8);
    for (int s : skewedSymbols(rng, n, 300)) {
        damaged.encodeSymbol(s, wa);
        clean.encodeSymbol(s, wb);
    }
    wa.putFinalByte();
    wa.flush();
    wb.putFinalByte();
    wb.flush();
    EXPECT_EQ(a.str(), b.str().substr(prefixBytes));
}

// The frame reader relies on this bound to know that a frame's bytes are all
// at hand. Symbol counts in Fibonacci proportions build the deepest tree a
// total weight allows; skewed random symbols a typical one.
TEST(AdaptiveHuffmanModel, NoSymbolTakesMoreBitsThanTheBound) {
    for (int n : {5, 152, 2060}) {
        std::vector<int> fibonacci;
        for (int64_t s = 0, f = 1, next = 1; s < n && fibonacci.size() + f <= 60000; ++s) {
            fibonacci.insert(fibonacci.end(), static_cast<std::size_t>(f), static_cast<int>(s));
            const int64_t sum = f + next;
            f = next;
            next = sum;
        }
        std::mt19937 rng(static_cast<unsigned>(n));
        for (const std::vector<int>& symbols : {fibonacci, skewedSymbols(rng, n, 30000)}) {
            const std::string bytes = encodeAll(n, symbols).bytes;
            PayloadBitReader reader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            AdaptiveHuffmanModel model(n);
            int closest = 1 << 30;  // the least room left under the bound
            for (std::size_t i = 0; i < symbols.size(); ++i) {
                const int64_t before = reader.bitPosition();
                ASSERT_EQ(model.decodeSymbol(reader), symbols[i]);
                const int64_t bits = reader.bitPosition() - before;
                const int bound = maxSymbolBits(n, static_cast<int64_t>(i));
                ASSERT_LE(bits, bound) << "n " << n << ", symbol " << i;
                closest = std::min(closest, bound - static_cast<int>(bits));
            }
            if (symbols == fibonacci) {
                EXPECT_LE(closest, 2) << "n " << n;
            }
        }
    }
}

TEST(AdaptiveHuffmanModel, EscapeIndexBeyondTheUnseenListIsReportedNotFollowed) {
    // n = 5 needs 3 index bits; 111 = 7 names no unseen symbol.
    const std::string payload = std::string(1, '\x07');
    PayloadBitReader reader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    AdaptiveHuffmanModel model(5);
    EXPECT_EQ(model.decodeSymbol(reader), -1);
    EXPECT_EQ(model.unseenCount(), 5);  // left unchanged
}

}  // namespace
}  // namespace qmz
