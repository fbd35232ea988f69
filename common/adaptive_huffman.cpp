#include "common/adaptive_huffman.h"

#include <algorithm>
#include <bit>

namespace qmz {

namespace {

// Population count by bit arithmetic: the build names no particular CPU, so
// std::popcount would become a library call.
int bitCount(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

}  // namespace

AdaptiveHuffmanModel::AdaptiveHuffmanModel(int alphabetSize)
    : n_(alphabetSize),
      content_(2 * static_cast<std::size_t>(alphabetSize) - 1),
      weight_(content_.size() + 1, -1),
      run_(content_.size() + 1, kNone),
      parent_(content_.size(), kNone),
      where_(static_cast<std::size_t>(alphabetSize) + 1),
      recordLeader_(2 * content_.size()),
      freeRecords_(recordLeader_.size()),
      unseenBits_((static_cast<std::size_t>(alphabetSize) + 63) / 64),
      path_(static_cast<std::size_t>(alphabetSize) + 1) {
    reset();
}

void AdaptiveHuffmanModel::reset() {
    // The escape leaf alone, as the root; the other slots are written as they
    // come into use.
    slotCount_ = 1;
    hasEscape_ = true;
    content_[0] = escapeMark();
    weight_[0] = 0;
    run_[0] = kNone;
    std::fill(where_.begin(), where_.end(), kNone);
    slotOf(escapeMark()) = 0;
    for (std::size_t w = 0; w < unseenBits_.size(); ++w) {
        const int left = n_ - static_cast<int>(64 * w);
        unseenBits_[w] = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
    }
    setUnseenCount(n_);
    freeCount_ = 0;
    freshRecords_ = 0;
}

void AdaptiveHuffmanModel::setUnseenCount(int count) {
    unseenCount_ = count;
    // ceil(log2 M): floor(log2 M), plus one when M is not a power of two.
    const auto m = static_cast<unsigned>(count);
    escapeBits_ = count <= 1 ? 0 : std::bit_width(m) - 1 + (std::has_single_bit(m) ? 0 : 1);
}

void AdaptiveHuffmanModel::removeUnseen(int symbol) {
    unseenBits_[static_cast<std::size_t>(symbol) / 64] &= ~(uint64_t{1} << (symbol % 64));
    setUnseenCount(unseenCount_ - 1);
}

// Unseen symbols are indexed in ascending order, so a symbol's index is the
// number of unseen symbols below it.
int AdaptiveHuffmanModel::unseenIndexOf(int symbol) const {
    const auto word = static_cast<std::size_t>(symbol) / 64;
    int index = 0;
    for (std::size_t w = 0; w < word; ++w) index += bitCount(unseenBits_[w]);
    const uint64_t below = (uint64_t{1} << (symbol % 64)) - 1;
    return index + bitCount(unseenBits_[word] & below);
}

// index < unseenCount_.
int AdaptiveHuffmanModel::unseenAt(int index) const {
    std::size_t w = 0;
    for (int count = bitCount(unseenBits_[0]); index >= count; count = bitCount(unseenBits_[++w])) {
        index -= count;
    }
    uint64_t bits = unseenBits_[w];
    while (index-- > 0) bits &= bits - 1;  // drop the lowest set bits before the wanted one
    return static_cast<int>(64 * w) + std::countr_zero(bits);
}

// The code is the path from the root to the leaf (the escape leaf for an
// unseen symbol), then the unseen index, most significant bit first.
void AdaptiveHuffmanModel::encodeSymbol(int symbol, PayloadBitWriter& out) {
    const int32_t slot = slotOf(~symbol);
    if (slot != kNone) {
        sendPathAndUpdate(slot, out);
        return;
    }
    const int index = unseenIndexOf(symbol);
    const int depth = sendPath(slotCount_ - 1, out);
    uint64_t reversed = 0;  // the index with its most significant bit at bit 0
    for (int bit = 0; bit < escapeBits_; ++bit) {
        reversed = (reversed << 1) | static_cast<uint64_t>((index >> bit) & 1);
    }
    out.putBits(reversed, escapeBits_);
    addUnseenSymbol(symbol, pathEnd() - depth, depth);
}

// Sends the branch bits from the root down to `slot` and leaves the slots
// passed below the root in the path buffer, ending at pathEnd(); returns
// their number. A slot's branch bit is its lowest bit (child 1 slots are
// odd). The bits are gathered from the slot upwards, each new one shifted in
// at the bottom, so the word's bit 0 is the first to send.
int AdaptiveHuffmanModel::sendPath(int32_t slot, PayloadBitWriter& out) {
    int32_t* const end = pathEnd();
    const int32_t* const parent = parent_.data();
    uint64_t code = 0;
    int depth = 0;
    while (slot != 0) {
        code = (code << 1) | static_cast<uint64_t>(slot & 1);
        *(end - ++depth) = slot;
        slot = parent[slot];
    }
    if (depth <= 64) {
        out.putBits(code, depth);
    } else {
        putLongPath(depth, out);
    }
    return depth;
}

// The same for a symbol already in the tree, with its update. The code
// depends only on where the nodes sit, which an increment does not change,
// so the steps that only increment (most of them) are made during the walk
// up; from the first step that may exchange nodes, the walk only gathers the
// rest of the path, and the update goes on from there once the code is out.
void AdaptiveHuffmanModel::sendPathAndUpdate(int32_t slot, PayloadBitWriter& out) {
    int32_t* const end = pathEnd();
    int32_t* const weight = weight_.data();
    const int32_t* const parent = parent_.data();
    uint64_t code = 0;
    int depth = 0;
    int32_t x = slot;
    for (; x != 0 && onlyIncrements(weight, x); x = parent[x]) {
        code = (code << 1) | static_cast<uint64_t>(x & 1);
        *(end - ++depth) = x;
        ++weight[x];
    }
    const int incremented = depth;
    for (int32_t y = x; y != 0; y = parent[y]) {
        code = (code << 1) | static_cast<uint64_t>(y & 1);
        *(end - ++depth) = y;
    }
    if (depth <= 64) {
        out.putBits(code, depth);
    } else {
        putLongPath(depth, out);
    }
    if (x == 0) {
        ++weight[0];
        return;
    }
    update(end - depth, depth - incremented);  // from the root's child down to x
}

// A path longer than a word, sent from the `depth` slots recorded before
// pathEnd() (its gathered word lost the first bits).
void AdaptiveHuffmanModel::putLongPath(int depth, PayloadBitWriter& out) {
    const int32_t* const end = pathEnd();
    for (const int32_t* p = end - depth; p < end;) {
        const int count = std::min<int>(64, static_cast<int>(end - p));
        uint64_t code = 0;
        for (int bit = 0; bit < count; ++bit) code |= static_cast<uint64_t>(*p++ & 1) << bit;
        out.putBits(code, count);
    }
}

int AdaptiveHuffmanModel::decodeSymbol(PayloadBitReader& in) {
    int32_t* const path = path_.data();
    int depth = 0;
    const int32_t leaf = in.descend(content_.data(), path, depth);
    if (leaf != escapeMark()) {
        update(path, depth);
        return ~leaf;
    }
    int index = 0;
    for (int k = escapeBits_; k > 0; --k) index = (index << 1) | in.getBit();
    if (index >= unseenCount_) return -1;
    const int symbol = unseenAt(index);
    addUnseenSymbol(symbol, path, depth);
    return symbol;
}

int32_t AdaptiveHuffmanModel::newRecord(int32_t leader) {
    const int32_t record = freeCount_ > 0 ? freeRecords_[--freeCount_] : freshRecords_++;
    recordLeader_[record] = leader;
    return record;
}

// Brings an unseen symbol into the tree and runs the update from its leaf.
// path[0 .. depth) are the slots from the root down to the escape leaf; it
// has room for one more.
void AdaptiveHuffmanModel::addUnseenSymbol(int symbol, int32_t* path, int depth) {
    removeUnseen(symbol);
    const int32_t escape = slotCount_ - 1;
    if (unseenCount_ == 0) {
        // The last unseen symbol: the escape leaf becomes its leaf in place.
        hasEscape_ = false;
        content_[escape] = ~symbol;
        slotOf(~symbol) = escape;
        slotOf(escapeMark()) = kNone;
        run_[escape] = weight_[escape - 1] == 1 ? run_[escape - 1] : newRecord(escape);
        update(path, depth);
        return;
    }

    // The escape slot becomes a new internal node whose children, the new
    // leaf (child 1) and the escape leaf (child 0), are the next two slots.
    const int32_t leaf = escape + 1;
    content_[escape] = leaf + 1;
    setParent(leaf + 1, escape);
    content_[leaf] = ~symbol;
    slotOf(~symbol) = leaf;
    weight_[leaf] = 0;
    content_[leaf + 1] = escapeMark();
    slotOf(escapeMark()) = leaf + 1;
    weight_[leaf + 1] = 0;
    run_[leaf + 1] = kNone;
    slotCount_ += 2;

    // The new node and leaf will both weigh 1 after this update.
    if (escape == 0) {
        run_[leaf] = newRecord(leaf);  // the root's own run is never asked for
    } else if (weight_[escape - 1] == 1) {
        run_[escape] = run_[leaf] = run_[escape - 1];
    } else {
        run_[escape] = run_[leaf] = newRecord(escape);
    }
    path[depth] = leaf;
    update(path, depth + 1);
}

// Exchanges what two slots of equal weight hold, neither an ancestor of the
// other: each node, with its subtree, takes the other's place in the tree
// and in the node order.
void AdaptiveHuffmanModel::exchange(int32_t a, int32_t b) {
    const int32_t contentA = content_[a];
    const int32_t contentB = content_[b];
    content_[a] = contentB;
    content_[b] = contentA;
    if (contentA > 0) {
        setParent(contentA, b);
    } else {
        slotOf(contentA) = b;
    }
    if (contentB > 0) {
        setParent(contentB, a);
    } else {
        slotOf(contentB) = a;
    }
}

// Keeps run records right as slot x (weight w > 0, just exchanged with its
// leader if need be, so the first of its run) is about to become w + 1.
void AdaptiveHuffmanModel::updateRunBeforeIncrement(int32_t x) {
    const int32_t run = run_[x];
    const bool beforeHasNextWeight = x > 1 && weight_[x - 1] == weight_[x] + 1;

    if (hasEscape_) {
        const int32_t escape = slotCount_ - 1;
        if (x + 2 == escape && content_[x] == escape) {
            // x and its only weighted child form the run; they move up together.
            if (beforeHasNextWeight) {
                run_[x] = run_[x + 1] = run_[x - 1];
                releaseRecord(run);
            }
            return;
        }
        if (x + 1 == escape) return;  // its parent settles the run
    }

    // run_ has a kNone after the last slot, for when there is no escape leaf.
    if (run_[x + 1] == run) {
        recordLeader_[run] = x + 1;
        run_[x] = beforeHasNextWeight ? run_[x - 1] : newRecord(x);
    } else if (beforeHasNextWeight) {
        releaseRecord(run);
        run_[x] = run_[x - 1];
    } else {
        // Released and taken straight back: the record stays x's, now led by x.
        recordLeader_[run] = x;
    }
}

// One step of the update for slot x, in full: the exchange with the leader
// and the record upkeep. Returns the slot that x's node then occupies.
[[gnu::noinline]] int32_t AdaptiveHuffmanModel::settle(int32_t x) {
    if (weight_[x] > 0) {
        const int32_t leader = recordLeader_[run_[x]];
        if (leader != x && leader != parentOf(x)) {
            exchange(x, leader);
            x = leader;
        }
        updateRunBeforeIncrement(x);
    }
    ++weight_[x];
    return x;
}

// Runs are contiguous in slot order and one record serves each run, so most
// steps can be decided from the neighbours' weights alone: when slot x - 1
// weighs more than w + 1 and slot x + 1 differs from w, x leads its run, the
// increment joins no run before it and leaves none behind, and the records
// stay as they are. This holds next to the escape leaf too: its weight 0
// sends the new leaf (weight 0) to the full step, and where the record
// upkeep's special cases apply, they change nothing unless slot x - 1 weighs
// w + 1. (With no escape leaf, weight_ ends in a -1 after the last slot.)
bool AdaptiveHuffmanModel::onlyIncrements(const int32_t* weight, int32_t x) {
    const int32_t w = weight[x];
    return (weight[x - 1] > w + 1) & (weight[x + 1] != w);
}

// path[0 .. depth) are the slots from the root down to the node where the
// update starts. They are followed upwards, each slot's address known in
// advance, until an exchange moves the node under another parent; from there
// the parents are looked up one by one.
void AdaptiveHuffmanModel::update(const int32_t* path, int depth) {
    int32_t* const weight = weight_.data();
    for (int i = depth - 1; i >= 0; --i) {
        const int32_t x = path[i];
        if (onlyIncrements(weight, x)) {
            ++weight[x];
        } else if (const int32_t moved = settle(x); moved != x) {
            // Exchanged with its sibling (slots 2j - 1 and 2j): the parent,
            // and so the rest of the path, stays the same.
            if (((moved + 1) & ~1) == ((x + 1) & ~1)) continue;
            climb(parentOf(moved));
            return;
        }
    }
    ++weight[0];
}

// The update from slot x upwards, with parents looked up as it goes.
void AdaptiveHuffmanModel::climb(int32_t x) {
    int32_t* const weight = weight_.data();
    const int32_t* const parent = parent_.data();
    while (x != 0) {
        if (onlyIncrements(weight, x)) {
            ++weight[x];
        } else {
            x = settle(x);
        }
        x = parent[x];
    }
    ++weight[0];
}

}  // namespace qmz
