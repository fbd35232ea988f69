// One-pass adaptive Huffman code over a fixed alphabet of n symbols.
//
// The code tree starts empty and is updated after every symbol, identically
// on both sides. A symbol not seen since the last reset is sent as the code of
// the escape leaf (the zero-weight leaf that stands for all unseen symbols)
// followed by its index among the unseen symbols, most significant bit first,
// in ceil(log2 M) bits, M being the number of unseen symbols.
//
// The update keeps the sibling property by exchanging a node with the leader
// of its weight run (the first node of equal weight in node order, not
// counting the root) before incrementing it.
//
// Nodes are stored by their position in the node order ("slots"): slot 0 is
// the root and the escape leaf is always the last slot. A new symbol turns
// the escape slot into an internal node and appends the new leaf (child 1)
// and the escape leaf (child 0) as the next two slots, so slots 2j - 1 and
// 2j are siblings for good: an internal node is named by its child 0 slot 2j
// alone, and a slot's branch bit is its own lowest bit. An exchange of two
// nodes of equal weight swaps only what the two slots hold (a leaf's symbol,
// or an internal node's child pair); the weights, the places in the tree and
// the run records stay with the slots.
//
// Runs of equal weight are contiguous in slot order and share one record
// naming their first slot, so the leader is found in constant time; the
// record upkeep keeps every record naming the first slot of its run.
//
// All memory is taken once at construction; reset() and coding allocate nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bit_io.h"

namespace qmz {

// The most bits one symbol can take, the unseen-symbol index included, in a
// model of `alphabetSize` symbols that has coded `coded` symbols since its
// reset (whatever they were). The tree keeps the sibling property, so a
// node's parent's sibling weighs at least as much as the node (the escape
// leaf's parent's sibling at least as much as the escape leaf's sibling):
// the weights along a path from a leaf to the root grow at least like the
// Fibonacci numbers, and a leaf at depth d needs a total weight of at least
// F(d + 1), F(1) = F(2) = 1.
constexpr int maxSymbolBits(int alphabetSize, int64_t coded) {
    int depth = 0;
    for (int64_t f = 1, next = 2; f <= coded; ++depth) {  // f = F(depth + 2)
        const int64_t sum = f + next;
        f = next;
        next = sum;
    }
    int indexBits = 0;
    while ((int64_t{1} << indexBits) < alphabetSize) ++indexBits;
    return depth + indexBits;
}

class AdaptiveHuffmanModel {
  public:
    // n >= 2 symbols, 0 .. n-1.
    explicit AdaptiveHuffmanModel(int alphabetSize);

    void reset();
    // Writes the code of s (0 <= s < n; the caller guarantees the range).
    void encodeSymbol(int symbol, PayloadBitWriter& out);
    // Reads one symbol; -1 when the bits name an unseen-symbol index that does
    // not exist (a damaged stream). The model is left unchanged then.
    int decodeSymbol(PayloadBitReader& in);

    int alphabetSize() const { return n_; }
    int unseenCount() const { return unseenCount_; }

  private:
    static constexpr int32_t kNone = -1;

    // What a slot holds: c > 0 (even) for an internal node whose children are
    // slots c (bit 0) and c - 1 (bit 1), ~s for the leaf of symbol s, and
    // escapeMark() for the escape leaf.
    int32_t escapeMark() const { return ~n_; }
    // Slot holding the leaf `content` (a symbol's or the escape leaf); kNone
    // for an unseen symbol.
    int32_t& slotOf(int32_t content) { return where_[static_cast<std::size_t>(content + n_ + 1)]; }
    int32_t parentOf(int32_t slot) const { return parent_[static_cast<std::size_t>(slot)]; }
    void setParent(int32_t internal, int32_t slot) {
        parent_[static_cast<std::size_t>(internal)] = slot;
        parent_[static_cast<std::size_t>(internal) - 1] = slot;
    }

    void setUnseenCount(int count);
    void removeUnseen(int symbol);
    int unseenIndexOf(int symbol) const;
    int unseenAt(int index) const;

    // The encoder's paths end here, one entry short of the buffer's end.
    int32_t* pathEnd() { return path_.data() + n_; }

    int sendPath(int32_t slot, PayloadBitWriter& out);
    void sendPathAndUpdate(int32_t slot, PayloadBitWriter& out);
    void putLongPath(int depth, PayloadBitWriter& out);
    void update(const int32_t* path, int depth);
    void climb(int32_t x);
    int32_t settle(int32_t x);
    static bool onlyIncrements(const int32_t* weight, int32_t x);
    void addUnseenSymbol(int symbol, int32_t* path, int depth);
    void exchange(int32_t a, int32_t b);
    void updateRunBeforeIncrement(int32_t x);

    int32_t newRecord(int32_t leader);
    void releaseRecord(int32_t record) { freeRecords_[freeCount_++] = record; }

    int n_;
    // Per slot. content_ alone is read by the decoder's walk down the tree.
    std::vector<int32_t> content_;
    // weight_ and run_ have one more entry after the last slot, -1 and kNone,
    // read as the neighbour after the last slot when there is no escape leaf.
    std::vector<int32_t> weight_;
    std::vector<int32_t> run_;  // record of the slot's weight run
    // The parent's slot, the same for both children of a pair: the walks
    // from a leaf up to the root follow it one load per level.
    std::vector<int32_t> parent_;
    // Per leaf, indexed through slotOf(): the slot of every leaf.
    std::vector<int32_t> where_;
    std::vector<int32_t> recordLeader_;
    std::vector<int32_t> freeRecords_;
    // One bit per symbol, set while the symbol is unseen: the unseen list in
    // a form that counts and selects by population counts, not by walking.
    std::vector<uint64_t> unseenBits_;
    // Slots of the path being coded, root side first: n entries, the longest
    // code's path, and one for a new leaf below the escape leaf.
    std::vector<int32_t> path_;
    int freeCount_ = 0;
    int32_t freshRecords_ = 0;  // records 0 .. freshRecords_-1 have been handed out

    int32_t slotCount_ = 0;  // slots in use; the escape leaf, if any, is the last
    bool hasEscape_ = true;  // false once every symbol has been seen
    int unseenCount_ = 0;
    int escapeBits_ = 0;  // ceil(log2 M): the length of an unseen-symbol index
};

}  // namespace qmz
