#include "core/cluster_keys.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>
#include <functional>
#include <new>
#include <unordered_map>

#include "core/simd.hpp"

namespace quorvel {

void append_fixed4(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0.0 ? "-inf" : "inf";
        return;
    }
    // The largest double has 309 integer digits; with sign, point and four
    // decimals the text needs at most 315 characters.
    char buf[330];
    // Like printf("%.4f") in the C locale: a set sign bit gives a leading "-"
    // even when the rounded value is zero (-0.0 and -0.00001 give "-0.0000").
    const std::to_chars_result res =
        std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    if (res.ec != std::errc()) throw InternalError("append_fixed4: formatting buffer too small");
    out.append(buf, res.ptr);
}

namespace {

// A row's key text: its cols values as append_fixed4 texts joined with "|".
std::string row_text(const double* row, std::size_t cols) {
    std::string key;
    for (std::size_t c = 0; c < cols; ++c) {
        if (c != 0) key += '|';
        append_fixed4(key, row[c]);
    }
    return key;
}

}  // namespace

std::vector<std::string> combine_cluster_keys(const Matrix& g, const Interrupt& interrupt) {
    const std::size_t rows = g.rows(), cols = g.cols();
    std::vector<std::string> keys;
    keys.reserve(rows);
    const double* row = g.data();
    for (std::size_t r = 0; r < rows; ++r, row += cols) {
        if (r % 256 == 255 && interrupt) interrupt();
        keys.push_back(row_text(row, cols));
    }
    return keys;
}

ClusterSums sum_scores_by_cluster(const std::vector<std::string>& keys, const Matrix& s,
                                  const Interrupt& interrupt) {
    const std::size_t n = s.rows(), k = s.cols();
    if (keys.size() != n) {
        throw InternalError("sum_scores_by_cluster: " + std::to_string(keys.size()) +
                            " keys for a score matrix of shape " + shape_text(n, k));
    }
    ClusterSums sums;
    std::unordered_map<std::string_view, std::size_t> position;  // views into keys
    const double* row = s.data();
    for (std::size_t i = 0; i < n; ++i, row += k) {
        if (i % 256 == 255 && interrupt) interrupt();
        const auto found = position.try_emplace(keys[i], sums.size());
        if (found.second) sums.emplace_back(keys[i], Vector(k, 0.0));
        Vector& u = sums[found.first->second].second;
        for (std::size_t l = 0; l < k; ++l) u[l] = u[l] + row[l];
    }
    return sums;
}

namespace {

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The hash of cols 64-bit words at words: the words of a key, or the bits of
// a row's doubles, read where they are.
std::uint64_t bits_hash(const void* words, std::size_t cols) {
    const auto* bytes = static_cast<const unsigned char*>(words);
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (std::size_t c = 0; c < cols; ++c) {
        std::uint64_t w;
        std::memcpy(&w, bytes + c * sizeof w, sizeof w);
        h = mix(h ^ w);
    }
    return h;
}

// Finds the slot of the entry for which same(entry) holds, or the empty slot
// where it belongs; slots hold entry index + 1, or 0 when empty.
template <class Same>
std::size_t probe(const std::vector<std::size_t>& slots, std::uint64_t hash, Same same) {
    const std::size_t mask = slots.size() - 1;
    std::size_t at = hash & mask;
    while (slots[at] != 0 && !same(slots[at] - 1)) at = (at + 1) & mask;
    return at;
}

// Doubles the table when it is half full, placing every entry afresh.
template <class Hash>
void insert(std::vector<std::size_t>& slots, std::size_t at, std::size_t entries, Hash hash) {
    slots[at] = entries;  // the new entry is the last one, index entries - 1
    if (2 * entries <= slots.size()) return;
    std::vector<std::size_t> grown(slots.size() * 2, 0);
    const std::size_t mask = grown.size() - 1;
    for (std::size_t e = 0; e < entries; ++e) {
        std::size_t i = hash(e) & mask;
        while (grown[i] != 0) i = (i + 1) & mask;
        grown[i] = e + 1;
    }
    slots.swap(grown);
}

// The key of v's append_fixed4 text, in two words: equal keys exactly where
// the texts are equal.  For a finite |v| below 2^113 the text is the sign
// bit and m = |v| 10^4 rounded to an integer, half to even, from the exact
// binary value: the decimals the text shows.
constexpr std::uint64_t kSpecialKey = ~std::uint64_t{0} >> 1;

void fixed4_key(double v, std::uint64_t* key) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t sign = bits >> 63;
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    // v = mant 2^e exactly, mant < 2^53.
    const std::uint64_t mant = biased == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
    const int e = (biased == 0 ? 1 : biased) - 1075;
    if (biased == 0x7FF || e > 60) {
        // NaN (all of them one text), an infinity, or |v| >= 2^113, where
        // neighbouring doubles are 2^61 or more apart and so every value
        // has a text of its own.  No m below fills the second word so.
        key[0] = fraction != 0 && biased == 0x7FF ? 0x7FF8000000000000ULL : bits;
        key[1] = kSpecialKey;
        return;
    }
    // mant 10^4 = hi 2^64 + lo, below 2^67 (mant = a 2^32 + b).
    const std::uint64_t a = (mant >> 32) * 10000u, b = (mant & 0xFFFFFFFFu) * 10000u;
    std::uint64_t lo = (a << 32) + b;
    std::uint64_t hi = (a >> 32) + (lo < b ? 1u : 0u);
    if (e >= 0) {
        // Below 2^67 2^60.
        if (e > 0) {
            hi = (hi << e) | (lo >> (64 - e));
            lo = lo << e;
        }
    } else if (e <= -68) {
        hi = lo = 0;  // below 2^67 2^-68, under one half
    } else {
        // Divided by 2^s, with the rest r = the bits shifted out and half
        // = 2^(s - 1) compared as two words, then rounded half to even.
        const int s = -e;
        std::uint64_t r_hi, r_lo, h_hi, h_lo;
        if (s < 64) {
            r_hi = 0;
            r_lo = lo & ((std::uint64_t{1} << s) - 1);
            h_hi = 0;
            h_lo = std::uint64_t{1} << (s - 1);
            lo = (lo >> s) | (hi << (64 - s));
            hi = hi >> s;
        } else {
            const int t = s - 64;  // 0 to 3
            r_hi = hi & ((std::uint64_t{1} << t) - 1);
            r_lo = lo;
            h_hi = t == 0 ? 0 : std::uint64_t{1} << (t - 1);
            h_lo = t == 0 ? std::uint64_t{1} << 63 : 0;
            lo = hi >> t;
            hi = 0;
        }
        const bool above = r_hi != h_hi ? r_hi > h_hi : r_lo > h_lo;
        const bool tie = r_hi == h_hi && r_lo == h_lo;
        if (above || (tie && (lo & 1) != 0)) {
            lo = lo + 1;
            hi = hi + (lo == 0 ? 1u : 0u);
        }
    }
    key[0] = lo;
    key[1] = hi | (sign << 63);  // hi is below 2^63
}

}  // namespace

ClusterGrouping::ClusterGrouping(const Matrix& g, std::size_t k)
    : g_(g), k_(k), words_(g.cols()), pattern_slots_(64), key_(2 * g.cols()), key_slots_(64, 0) {}

std::size_t ClusterGrouping::cluster_of_new_pattern(const double* row, std::size_t index) {
    const std::size_t cols = g_.cols(), width = 2 * cols;
    std::uint64_t* key = key_.data();
    for (std::size_t c = 0; c < cols; ++c) fixed4_key(row[c], key + 2 * c);
    auto hash_of = [&](const std::uint64_t* words) { return bits_hash(words, width); };
    const std::size_t at = probe(key_slots_, hash_of(key), [&](std::size_t c) {
        return std::equal(key, key + width, keys_.begin() + static_cast<std::ptrdiff_t>(c * width));
    });
    if (key_slots_[at] != 0) return key_slots_[at] - 1;
    keys_.insert(keys_.end(), key, key + width);
    first_rows_.push_back(index);
    sums_.resize(sums_.size() + k_, 0.0);
    insert(key_slots_, at, first_rows_.size(), [&](std::size_t c) { return hash_of(keys_.data() + c * width); });
    return first_rows_.size() - 1;
}

std::size_t ClusterGrouping::cluster_of(const double* row, std::size_t index, std::uint64_t h) {
    const std::size_t cols = g_.cols();
    std::uint64_t* bits = words_.data();
    // A value at a time: a memcpy of cols values would be a library call
    // for every row, which costs more than the copy of one or two values.
    for (std::size_t c = 0; c < cols; ++c) std::memcpy(bits + c, row + c, sizeof(double));
    std::size_t mask = pattern_slots_.size() - 1;
    std::size_t at = h & mask;
    for (;; at = (at + 1) & mask) {
        const Slot& s = pattern_slots_[at];
        if (s.pattern == 0) break;
        if (s.hash != h) continue;
        // With one column the hash is a bijection of the bits (mix and the
        // xor are invertible): equal hashes are equal patterns.
        if (cols == 1) return s.cluster;
        const std::uint64_t* seen = patterns_.data() + (s.pattern - 1) * cols;
        bool same = true;
        for (std::size_t c = 0; c < cols; ++c) same = same && seen[c] == bits[c];
        if (same) return s.cluster;
    }
    if (pattern_count_ >= 0xFFFFFFFEu) throw std::bad_alloc();  // see Slot
    const std::size_t cluster = cluster_of_new_pattern(row, index);
    patterns_.insert(patterns_.end(), bits, bits + cols);
    ++pattern_count_;
    pattern_slots_[at] = Slot{h, static_cast<std::uint32_t>(pattern_count_), static_cast<std::uint32_t>(cluster)};
    // Doubles the table when it is half full, placing every entry afresh.
    if (2 * pattern_count_ > pattern_slots_.size()) {
        Table<Slot> grown(pattern_slots_.size() * 2);
        mask = grown.size() - 1;
        for (const Slot& s : pattern_slots_) {
            if (s.pattern == 0) continue;
            std::size_t i = s.hash & mask;
            while (grown[i].pattern != 0) i = (i + 1) & mask;
            grown[i] = s;
        }
        pattern_slots_.swap(grown);
    }
    return cluster;
}

void ClusterGrouping::clusters_of(std::size_t start, std::size_t len, std::size_t* out) {
    if (start > g_.rows() || len > g_.rows() - start) {
        throw InternalError("ClusterGrouping: rows " + std::to_string(start) + " to " +
                            std::to_string(start + len) + " of " + std::to_string(g_.rows()));
    }
    const std::size_t cols = g_.cols();
    const double* const first = g_.data() + start * cols;
    // Rows of one cluster often follow each other (data sorted by it): a row
    // with the bits of the row before it (in the block, or for the first one
    // the row last placed, whose bits words_ holds once a pattern is known)
    // is in that row's cluster, and is marked so here.  The other rows are
    // hashed first, each with a request for the line of its slot, and looked
    // up after, each with a request for its cluster's sum, which the caller
    // adds to next: with many clusters the slots and the sums are far beyond
    // the caches, and one lookup after another waited on each in turn (a
    // clustered fit at 4e6 rows with 80,000 clusters measured 11% faster with
    // the slots' requests, and 6-12% faster again with the sums').
    hashes_.resize(len);
    const std::size_t mask = pattern_slots_.size() - 1;
    const double* before = pattern_count_ > 0 ? reinterpret_cast<const double*>(words_.data()) : nullptr;
    const double* row = first;
    for (std::size_t r = 0; r < len; before = row, ++r, row += cols) {
        bool same = before != nullptr;
        for (std::size_t c = 0; c < cols && same; ++c) same = std::memcmp(row + c, before + c, sizeof(double)) == 0;
        if (same) {
            out[r] = kSameAsBefore;
            continue;
        }
        hashes_[r] = bits_hash(row, cols);
        simd::request_line(reinterpret_cast<std::uintptr_t>(pattern_slots_.data() + (hashes_[r] & mask)));
        out[r] = 0;
    }
    row = first;
    for (std::size_t r = 0; r < len; ++r, row += cols) {
        if (out[r] != kSameAsBefore) {
            last_cluster_ = cluster_of(row, start + r, hashes_[r]);
            // Every line of it (with 50 columns, 400 bytes: the clustered
            // fit at 1e6 x 50 measured 6-8% faster than with its first and
            // last line requested).
            simd::request_lines(sum(last_cluster_), sum(last_cluster_) + k_);
        }
        out[r] = last_cluster_;
    }
}

std::vector<std::string> ClusterGrouping::take_texts() const {
    const std::size_t cols = g_.cols();
    std::vector<std::string> texts;
    texts.reserve(first_rows_.size());
    for (const std::size_t r : first_rows_) texts.push_back(row_text(g_.data() + r * cols, cols));
    return texts;
}

ClusterSums ClusterGrouping::take_sums() {
    std::vector<std::string> texts = take_texts();
    ClusterSums out;
    out.reserve(texts.size());
    for (std::size_t c = 0; c < texts.size(); ++c) {
        const double* u = sums_.data() + c * k_;
        out.emplace_back(std::move(texts[c]), Vector(u, u + k_));
    }
    sums_.clear();
    return out;
}

}  // namespace quorvel
