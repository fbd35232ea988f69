#include "common/adaptive_huffman.h"

#include <algorithm>
#include <bit>

namespace qmz {

AdaptiveHuffmanModel::AdaptiveHuffmanModel(int alphabetSize)
    : n_(alphabetSize),
      nodes_(2 * static_cast<std::size_t>(alphabetSize) - 1),
      recordLeader_(2 * nodes_.size()),
      freeRecords_(recordLeader_.size()),
      child_(2 * nodes_.size()),
      unseenBits_((static_cast<std::size_t>(alphabetSize) + 63) / 64) {
    reset();
}

void AdaptiveHuffmanModel::reset() {
    for (Node& node : nodes_) {
        node = Node{0, kNone, kNone, kNone, kNone, 0};
    }
    std::fill(child_.begin(), child_.end(), kNone);
    for (std::size_t w = 0; w < unseenBits_.size(); ++w) {
        const int left = n_ - static_cast<int>(64 * w);
        unseenBits_[w] = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
    }
    unseenCount_ = n_;
    escape_ = 0;  // the smallest unseen symbol stands in the tree as the escape leaf
    root_ = 0;
    nextInternal_ = n_;
    freeCount_ = 0;
    for (int r = static_cast<int>(recordLeader_.size()) - 1; r >= 0; --r) releaseRecord(r);
}

int AdaptiveHuffmanModel::escapeCodeLength() const {
    // ceil(log2 M): floor(log2 M), plus one when M is not a power of two.
    if (unseenCount_ <= 1) return 0;
    const auto m = static_cast<unsigned>(unseenCount_);
    return std::bit_width(m) - 1 + (std::has_single_bit(m) ? 0 : 1);
}

void AdaptiveHuffmanModel::removeUnseen(int symbol) {
    unseenBits_[static_cast<std::size_t>(symbol) / 64] &= ~(uint64_t{1} << (symbol % 64));
    --unseenCount_;
}

// The smallest unseen symbol; at least one is left.
int AdaptiveHuffmanModel::firstUnseen() const {
    std::size_t w = 0;
    while (unseenBits_[w] == 0) ++w;
    return static_cast<int>(64 * w) + std::countr_zero(unseenBits_[w]);
}

// Unseen symbols are indexed in ascending order, so a symbol's index is the
// number of unseen symbols below it.
int AdaptiveHuffmanModel::unseenIndexOf(int symbol) const {
    const auto word = static_cast<std::size_t>(symbol) / 64;
    int index = 0;
    for (std::size_t w = 0; w < word; ++w) index += std::popcount(unseenBits_[w]);
    const uint64_t below = (uint64_t{1} << (symbol % 64)) - 1;
    return index + std::popcount(unseenBits_[word] & below);
}

// index < unseenCount_.
int AdaptiveHuffmanModel::unseenAt(int index) const {
    std::size_t w = 0;
    for (int count = std::popcount(unseenBits_[0]); index >= count;
         count = std::popcount(unseenBits_[++w])) {
        index -= count;
    }
    uint64_t bits = unseenBits_[w];
    while (index-- > 0) bits &= bits - 1;  // drop the lowest set bits before the wanted one
    return static_cast<int>(64 * w) + std::countr_zero(bits);
}

// The code is the path from the root to the leaf (the escape leaf for an
// unseen symbol), then the unseen index, most significant bit first.
void AdaptiveHuffmanModel::encodeSymbol(int symbol, PayloadBitWriter& out) {
    int leaf = symbol;
    int escapeBits = 0;
    int index = 0;
    if (nodes_[symbol].weight == 0) {
        index = unseenIndexOf(symbol);
        escapeBits = escapeCodeLength();
        leaf = escape_;
    }
    sendPath(leaf, root_, out);
    for (int bit = escapeBits - 1; bit >= 0; --bit) out.putBit((index >> bit) & 1);
    update(symbol);
}

// Sends the branch bits from `top` down to `node` (top an ancestor of node).
// They are gathered from the node upwards, each new one shifted in at the
// bottom, so the word's bit 0 is the first to send; a path longer than a
// word sends its upper part first.
void AdaptiveHuffmanModel::sendPath(int node, int top, PayloadBitWriter& out) {
    uint64_t code = 0;
    int length = 0;
    while (node != top) {
        if (length == 64) {
            sendPath(node, top, out);
            break;
        }
        code = (code << 1) | static_cast<uint32_t>(nodes_[node].branch);
        ++length;
        node = nodes_[node].parent;
    }
    out.putBits(code, length);
}

int AdaptiveHuffmanModel::decodeSymbol(PayloadBitReader& in) {
    const int node = in.descend(root_, n_, child_.data());
    int symbol = node;
    if (node == escape_) {
        int index = 0;
        for (int k = escapeCodeLength(); k > 0; --k) index = (index << 1) | in.getBit();
        if (index >= unseenCount_) return -1;
        symbol = unseenAt(index);
    }
    update(symbol);
    return symbol;
}

int AdaptiveHuffmanModel::newRecord(int leader) {
    const int record = freeRecords_[--freeCount_];
    recordLeader_[record] = leader;
    return record;
}

void AdaptiveHuffmanModel::replaceChild(int parent, int oldChild, int newChild) {
    if (parent == kNone) {
        root_ = newChild;
    } else if (childOf(parent)[0] == oldChild) {
        childOf(parent)[0] = newChild;
        nodes_[newChild].branch = 0;
    } else {
        childOf(parent)[1] = newChild;
        nodes_[newChild].branch = 1;
    }
}

// Brings an unseen symbol into the tree and returns the node where the
// weight increments start.
int AdaptiveHuffmanModel::addUnseenSymbol(int symbol) {
    if (unseenCount_ == 1) {
        // The last unseen symbol: the escape leaf becomes its leaf in place.
        removeUnseen(symbol);
        escape_ = kNone;
        const int before = nodes_[symbol].orderPrev;
        nodes_[symbol].run = nodes_[before].weight == 1 ? nodes_[before].run : newRecord(symbol);
        return symbol;
    }

    // A new internal node takes the escape leaf's place in the tree and in the
    // node order, with the new leaf as child 1 and the escape leaf as child 0.
    const int oldEscape = escape_;
    const int internal = nextInternal_++;
    const int parent = nodes_[oldEscape].parent;
    const int before = nodes_[oldEscape].orderPrev;
    replaceChild(parent, oldEscape, internal);
    removeUnseen(symbol);
    escape_ = firstUnseen();  // differs from oldEscape when the symbol was the smallest

    Node& in = nodes_[internal];
    in.weight = 0;
    in.parent = parent;
    childOf(internal)[0] = escape_;
    childOf(internal)[1] = symbol;
    nodes_[escape_].branch = 0;
    nodes_[symbol].branch = 1;
    in.orderPrev = before;
    in.orderNext = symbol;
    if (before != kNone) nodes_[before].orderNext = internal;
    nodes_[symbol].parent = internal;
    nodes_[symbol].orderPrev = internal;
    nodes_[symbol].orderNext = escape_;
    nodes_[escape_].parent = internal;
    nodes_[escape_].orderPrev = symbol;
    nodes_[escape_].orderNext = kNone;
    nodes_[escape_].run = kNone;

    if (parent == kNone) {
        in.run = newRecord(internal);
        nodes_[symbol].run = newRecord(symbol);
    } else if (nodes_[before].weight == 1) {
        in.run = nodes_[symbol].run = nodes_[before].run;
    } else {
        in.run = nodes_[symbol].run = newRecord(internal);
    }
    return symbol;
}

// Exchanges two nodes' places in the tree (with their subtrees) and in the
// node order. Neither is an ancestor of the other.
void AdaptiveHuffmanModel::exchange(int a, int b) {
    Node& na = nodes_[a];
    Node& nb = nodes_[b];
    if (na.parent == nb.parent) {
        std::swap(childOf(na.parent)[0], childOf(na.parent)[1]);
        std::swap(na.branch, nb.branch);
    } else {
        replaceChild(na.parent, a, b);
        replaceChild(nb.parent, b, a);
        std::swap(na.parent, nb.parent);
    }

    // Swap the two list positions. Neighbours are relinked as a pair, named
    // in list order.
    const bool bFirst = nb.orderNext == a;
    const int first = bFirst ? b : a, second = bFirst ? a : b;
    if (nodes_[first].orderNext == second) {
        Node& nf = nodes_[first];
        Node& ns = nodes_[second];
        const int before = nf.orderPrev, after = ns.orderNext;
        ns.orderPrev = before;
        ns.orderNext = first;
        nf.orderPrev = second;
        nf.orderNext = after;
        if (before != kNone) nodes_[before].orderNext = second;
        if (after != kNone) nodes_[after].orderPrev = first;
        return;
    }
    std::swap(na.orderPrev, nb.orderPrev);
    std::swap(na.orderNext, nb.orderNext);
    if (na.orderPrev != kNone) nodes_[na.orderPrev].orderNext = a;
    if (na.orderNext != kNone) nodes_[na.orderNext].orderPrev = a;
    if (nb.orderPrev != kNone) nodes_[nb.orderPrev].orderNext = b;
    if (nb.orderNext != kNone) nodes_[nb.orderNext].orderPrev = b;
}

// Keeps run records right as x (weight w > 0, just exchanged with its leader
// if need be, so the first of its run) is about to become w + 1.
void AdaptiveHuffmanModel::updateRunBeforeIncrement(int x) {
    Node* const nodes = nodes_.data();
    Node& node = nodes[x];
    const int run = node.run;
    const int before = node.orderPrev;
    const int escape = escape_;
    const bool beforeHasNextWeight =
        before != kNone && before != root_ && nodes[before].weight == node.weight + 1;

    if (!isLeaf(x) && escape != kNone) {
        const int32_t* children = childOf(x);
        if (node.orderNext == children[1] && children[0] == escape) {
            // x and its only weighted child form the run; they move up together.
            if (beforeHasNextWeight) {
                node.run = nodes[children[1]].run = nodes[before].run;
                releaseRecord(run);
            }
            return;
        }
    }
    if (escape != kNone && node.orderNext == escape) return;  // its parent settles the run

    const int after = node.orderNext;
    if (after != kNone && nodes[after].run == run) {
        recordLeader_[run] = after;
        node.run = beforeHasNextWeight ? nodes[before].run : newRecord(x);
    } else if (beforeHasNextWeight) {
        releaseRecord(run);
        node.run = nodes[before].run;
    } else {
        // Released and taken straight back: the record stays x's, now led by x.
        recordLeader_[run] = x;
    }
}

void AdaptiveHuffmanModel::update(int symbol) {
    int x = nodes_[symbol].weight == 0 ? addUnseenSymbol(symbol) : symbol;
    while (x != root_) {
        if (nodes_[x].weight > 0) {
            const int leader = recordLeader_[nodes_[x].run];
            if (leader != x && leader != nodes_[x].parent) {
                exchange(x, leader);
                recordLeader_[nodes_[x].run] = x;
            }
            updateRunBeforeIncrement(x);
        }
        ++nodes_[x].weight;
        x = nodes_[x].parent;
    }
    ++nodes_[root_].weight;
}

}  // namespace qmz
