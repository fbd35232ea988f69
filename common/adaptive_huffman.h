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
// counting the root) before incrementing it. Runs share one record naming
// their leader, so the leader is found in constant time; the record upkeep
// below is what keeps every record naming the first node of its run.
//
// A code's path is gathered leaf-upwards into a 64-bit word and sent with
// one multi-bit write.
//
// All memory is taken once at construction; reset() and coding allocate nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bit_io.h"

namespace qmz {

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
    static constexpr int kNone = -1;

    struct Node {
        int32_t weight;
        int32_t parent;
        int32_t orderPrev, orderNext;  // node order: root first, escape leaf last
        int32_t run;                   // record of the node's weight run
        int32_t branch;                // 0 or 1: which child of its parent it is
    };

    bool isLeaf(int node) const { return node < n_; }
    int escapeCodeLength() const;
    void removeUnseen(int symbol);
    int firstUnseen() const;
    int32_t* childOf(int node) { return child_.data() + 2 * static_cast<std::size_t>(node); }
    int unseenIndexOf(int symbol) const;
    int unseenAt(int index) const;

    void sendPath(int node, int top, PayloadBitWriter& out);
    void update(int symbol);
    int addUnseenSymbol(int symbol);
    void exchange(int a, int b);
    void replaceChild(int parent, int oldChild, int newChild);
    void updateRunBeforeIncrement(int x);

    int newRecord(int leader);
    void releaseRecord(int record) { freeRecords_[freeCount_++] = record; }

    int n_;
    std::vector<Node> nodes_;  // leaves 0 .. n-1 (leaf i is symbol i), then internal nodes
    std::vector<int32_t> recordLeader_;
    std::vector<int32_t> freeRecords_;
    // Children of internal nodes (branch 0, branch 1), two per node apart
    // from the other fields: the decoder's walk down the tree reads nothing else.
    std::vector<int32_t> child_;
    // One bit per symbol, set while the symbol is unseen: the unseen list in
    // a form that counts and selects by population counts, not by walking.
    std::vector<uint64_t> unseenBits_;
    int freeCount_ = 0;

    int root_ = 0;
    int escape_ = 0;  // kNone once every symbol has been seen
    int nextInternal_ = 0;
    int unseenCount_ = 0;
};

}  // namespace qmz
