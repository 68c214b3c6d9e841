// Square matrix of connection flags, bit-packed: row r occupies wordsPerRow()
// consecutive 64-bit words, column c is bit (c % 64) of word (c / 64). Bits past
// the last column are always zero, so rows can be scanned and counted by words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace kestrin {

class BitMatrix {
public:
    using Word = uint64_t;
    static constexpr int32_t kWordBits = 64;

    BitMatrix() = default;
    explicit BitMatrix(int32_t n) { reset(n); }

    // n x n, all clear; a negative n is refused before anything is allocated.
    void reset(int32_t n) {
        if (n < 0) throw std::length_error("negative matrix dimension");
        const int32_t words = wordsFor(n);
        std::vector<Word> cells(static_cast<size_t>(n) * static_cast<size_t>(words), 0);
        words_.swap(cells);
        n_ = n;
        wordsPerRow_ = words;
    }

    int32_t dimension() const { return n_; }
    int32_t wordsPerRow() const { return wordsPerRow_; }
    const Word* row(int32_t r) const { return words_.data() + offset(r); }

    bool test(int32_t r, int32_t c) const { return (row(r)[c / kWordBits] >> (c % kWordBits)) & 1u; }
    void set(int32_t r, int32_t c) { mutableRow(r)[c / kWordBits] |= bit(c); }
    void clear(int32_t r, int32_t c) { mutableRow(r)[c / kWordBits] &= ~bit(c); }

    // Calls f(column) for every set flag of row r at column >= first, ascending.
    template <typename F>
    void forEachInRow(int32_t r, int32_t first, F&& f) const {
        if (first >= n_) return;
        const Word* words = row(r);
        int32_t w = first / kWordBits;
        Word current = words[w] & (~Word{0} << (first % kWordBits));
        for (;;) {
            while (current != 0) {
                const int32_t c = w * kWordBits + std::countr_zero(current);
                current &= current - 1;
                f(c);
            }
            if (++w >= wordsPerRow_) return;
            current = words[w];
        }
    }

    // Number of set flags in row r.
    int32_t countRow(int32_t r) const {
        const Word* words = row(r);
        int32_t count = 0;
        for (int32_t w = 0; w < wordsPerRow_; ++w) count += std::popcount(words[w]);
        return count;
    }

    // Number of set flags in column c.
    int32_t countColumn(int32_t c) const {
        int32_t count = 0;
        for (int32_t r = 0; r < n_; ++r) count += test(r, c);
        return count;
    }

    // Whether row r has a set flag at some column >= first.
    bool anyInRowFrom(int32_t r, int32_t first) const {
        if (first >= n_) return false;
        const Word* words = row(r);
        int32_t w = first / kWordBits;
        if (words[w] & (~Word{0} << (first % kWordBits))) return true;
        for (++w; w < wordsPerRow_; ++w) {
            if (words[w]) return true;
        }
        return false;
    }

    // Number of set flags in the whole matrix.
    int64_t count() const {
        int64_t total = 0;
        for (Word w : words_) total += std::popcount(w);
        return total;
    }

    // Inserts a clear row and a clear column at index p; later ones move up by one.
    void insertRowAndColumn(int32_t p) {
        BitMatrix grown(n_ + 1);
        for (int32_t r = 0; r < n_; ++r) {
            const Word* from = row(r);
            Word* to = grown.mutableRow(r < p ? r : r + 1);
            for (int32_t w = 0; w < grown.wordsPerRow_; ++w) {
                const Word same = w < wordsPerRow_ ? from[w] : 0;
                const Word carried = w > 0 ? from[w - 1] >> (kWordBits - 1) : 0;
                const Word up = (same << 1) | carried;
                to[w] = (same & below(p, w)) | (up & ~below(p + 1, w));
            }
        }
        *this = std::move(grown);
    }

    // Removes row p and column p; later ones move down by one.
    void eraseRowAndColumn(int32_t p) {
        BitMatrix shrunk(n_ - 1);
        for (int32_t r = 0; r < n_; ++r) {
            if (r == p) continue;
            const Word* from = row(r);
            Word* to = shrunk.mutableRow(r < p ? r : r - 1);
            for (int32_t w = 0; w < shrunk.wordsPerRow_; ++w) {
                const Word same = from[w];
                const Word next = w + 1 < wordsPerRow_ ? from[w + 1] : 0;
                const Word down = (same >> 1) | (next << (kWordBits - 1));
                to[w] = ((same & below(p, w)) | (down & ~below(p, w))) & below(shrunk.n_, w);
            }
        }
        *this = std::move(shrunk);
    }

    friend bool operator==(const BitMatrix&, const BitMatrix&) = default;

private:
    static int32_t wordsFor(int32_t n) { return (n + kWordBits - 1) / kWordBits; }
    static Word bit(int32_t c) { return Word{1} << (c % kWordBits); }

    // Mask of the bits of word w whose column is below limit.
    static Word below(int32_t limit, int32_t w) {
        const int32_t bits = limit - w * kWordBits;
        if (bits <= 0) return 0;
        if (bits >= kWordBits) return ~Word{0};
        return (Word{1} << bits) - 1;
    }

    size_t offset(int32_t r) const { return static_cast<size_t>(r) * static_cast<size_t>(wordsPerRow_); }
    Word* mutableRow(int32_t r) { return words_.data() + offset(r); }

    int32_t n_ = 0;
    int32_t wordsPerRow_ = 0;
    std::vector<Word> words_;
};

}  // namespace kestrin
