#include "common/adaptive_huffman.h"

#include <bit>

namespace qmz {

AdaptiveHuffmanModel::AdaptiveHuffmanModel(int alphabetSize)
    : n_(alphabetSize),
      nodes_(2 * static_cast<std::size_t>(alphabetSize) - 1),
      recordLeader_(2 * nodes_.size()),
      freeRecords_(recordLeader_.size()),
      scratch_(static_cast<std::size_t>(alphabetSize) + 32) {
    reset();
}

void AdaptiveHuffmanModel::reset() {
    for (Node& node : nodes_) {
        node = Node{0, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone};
    }
    for (int s = 0; s < n_; ++s) {
        nodes_[s].unseenPrev = s > 0 ? s - 1 : kNone;
        nodes_[s].unseenNext = s + 1 < n_ ? s + 1 : kNone;
    }
    unseenHead_ = 0;
    unseenCount_ = n_;
    escape_ = 0;  // the head of the unseen list stands in the tree as the escape leaf
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
    Node& leaf = nodes_[symbol];
    if (leaf.unseenPrev != kNone) {
        nodes_[leaf.unseenPrev].unseenNext = leaf.unseenNext;
    } else {
        unseenHead_ = leaf.unseenNext;
    }
    if (leaf.unseenNext != kNone) nodes_[leaf.unseenNext].unseenPrev = leaf.unseenPrev;
    leaf.unseenPrev = leaf.unseenNext = kNone;
    --unseenCount_;
}

int AdaptiveHuffmanModel::unseenIndexOf(int symbol) const {
    int index = 0;
    for (int s = unseenHead_; s != symbol; s = nodes_[s].unseenNext) ++index;
    return index;
}

int AdaptiveHuffmanModel::unseenAt(int index) const {
    int s = unseenHead_;
    while (index-- > 0) s = nodes_[s].unseenNext;
    return s;
}

void AdaptiveHuffmanModel::encodeSymbol(int symbol, PayloadBitWriter& out) {
    int length = 0;
    int leaf = symbol;
    if (nodes_[symbol].weight == 0) {
        // Index bits go in first (least significant first) because the whole
        // code is sent backwards.
        const int index = unseenIndexOf(symbol);
        for (int bit = 0, k = escapeCodeLength(); bit < k; ++bit) {
            scratch_[length++] = static_cast<uint8_t>((index >> bit) & 1);
        }
        leaf = escape_;
    }
    for (int node = leaf; node != root_;) {
        const int parent = nodes_[node].parent;
        scratch_[length++] = nodes_[parent].child1 == node ? 1 : 0;
        node = parent;
    }
    while (length > 0) out.putBit(scratch_[--length]);
    update(symbol);
}

int AdaptiveHuffmanModel::decodeSymbol(PayloadBitReader& in) {
    int node = root_;
    while (!isLeaf(node)) node = in.getBit() ? nodes_[node].child1 : nodes_[node].child0;
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
    } else if (nodes_[parent].child0 == oldChild) {
        nodes_[parent].child0 = newChild;
    } else {
        nodes_[parent].child1 = newChild;
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
    // node order, with the new leaf as child1 and the escape leaf as child0.
    const int oldEscape = escape_;
    const int internal = nextInternal_++;
    const int parent = nodes_[oldEscape].parent;
    const int before = nodes_[oldEscape].orderPrev;
    replaceChild(parent, oldEscape, internal);
    removeUnseen(symbol);
    escape_ = unseenHead_;  // differs from oldEscape when the symbol was the head

    Node& in = nodes_[internal];
    in.weight = 0;
    in.parent = parent;
    in.child0 = escape_;
    in.child1 = symbol;
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
        std::swap(nodes_[na.parent].child0, nodes_[na.parent].child1);
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
    Node& node = nodes_[x];
    const int run = node.run;
    const int before = node.orderPrev;
    const bool beforeHasNextWeight =
        before != kNone && before != root_ && nodes_[before].weight == node.weight + 1;

    if (!isLeaf(x) && node.orderNext == node.child1 && escape_ != kNone && node.child0 == escape_) {
        // x and its only weighted child form the run; they move up together.
        if (beforeHasNextWeight) {
            nodes_[x].run = nodes_[node.child1].run = nodes_[before].run;
            releaseRecord(run);
        }
        return;
    }
    if (escape_ != kNone && node.orderNext == escape_) return;  // its parent settles the run

    const int after = node.orderNext;
    if (after != kNone && nodes_[after].run == run) {
        recordLeader_[run] = after;
    } else {
        releaseRecord(run);
    }
    node.run = beforeHasNextWeight ? nodes_[before].run : newRecord(x);
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
