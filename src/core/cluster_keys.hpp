// Grouping observations into clusters by the text of their cluster values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/linalg.hpp"

namespace quorvel {

// Appends v in fixed-point with exactly four decimals, correctly rounded
// (half to even) from the exact binary value, independent of the C locale:
// "-" for a set sign bit (so -0.0 gives "-0.0000"), "NaN", "inf", "-inf".
void append_fixed4(std::string& out, double v);

// One key per row of g, in row order: the row's values as append_fixed4
// texts joined with "|".  Zero columns give empty keys.  interrupt is called
// every 256 rows.
std::vector<std::string> combine_cluster_keys(const Matrix& g, const Interrupt& interrupt = {});

// (key, sum) per cluster, in the order in which the clusters first appear
// among the observations, so that every process visits them alike.
using ClusterSums = std::vector<std::pair<std::string, Vector>>;

// Per-key sums of the rows of s (n x k), rows added in observation order.
// keys must have s.rows() entries (checked).  interrupt is called every 256
// rows.
ClusterSums sum_scores_by_cluster(const std::vector<std::string>& keys, const Matrix& s,
                                  const Interrupt& interrupt = {});

// The per-cluster sums of row vectors, clusters as combine_cluster_keys'
// texts define them (rows whose key texts are equal are one cluster: 3.00001
// and 3.0 share one, 0.0 and -0.0 do not, every NaN gives "NaN"), without
// forming a text per row: the first time a row's exact bit pattern is seen,
// its values are turned into the numbers their texts show (the sign and the
// value times 10^4, rounded as the text rounds it), which are equal exactly
// where the texts are; later rows with that pattern are found by hashing the
// bits.  Texts are formed only when asked for.  Clusters are numbered in the
// order in which clusters_of() first meets them.
// g must outlive the grouping.
class ClusterGrouping {
public:
    ClusterGrouping(const Matrix& g, std::size_t k);

    // The clusters of rows [start, start + len) into out (len entries), each
    // a number below clusters(); start + len <= g.rows(), checked.  Rows of
    // a new cluster are numbered in row order.  The lines of their sums are
    // requested on the way, for the caller to add to.
    void clusters_of(std::size_t start, std::size_t len, std::size_t* out);
    std::size_t clusters() const { return first_rows_.size(); }
    std::size_t rows() const { return g_.rows(); }
    // The running sum (k entries, zero at first) of cluster c < clusters().
    // The pointer is valid until the next call of clusters_of.
    double* sum(std::size_t c) { return sums_.data() + c * k_; }
    // All the sums, clusters() x k, cluster after cluster.
    const double* sums() const { return sums_.data(); }
    // Every sum back to zero, for another pass over the same rows: the
    // clusters found so far keep their numbers.
    void clear_sums() { std::fill(sums_.begin(), sums_.end(), 0.0); }
    // The clusters' texts, in cluster order (formed from each cluster's
    // first row).
    std::vector<std::string> take_texts() const;
    // The clusters with their texts and sums; the grouping is spent.
    ClusterSums take_sums();

private:
    // One entry of the open-addressing table of distinct bit patterns, with
    // the pattern's cluster, so that a lookup reads the pattern's bits only
    // to tell apart patterns of several columns whose hashes are equal.
    // Sixteen bytes, four to a cache line: with tens of thousands of
    // clusters the table outgrows the caches, and a clustered fit at 4e6 x
    // 10 with 80,000 clusters measured 5-7% faster than with 24-byte slots.
    // (More than 2^32 - 2 patterns would need tables of over 100 GB; the
    // grouping reports them as running out of memory.)
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t pattern = 0;  // index + 1, or 0 when the slot is empty
        std::uint32_t cluster = 0;
    };
    // The cluster of row (row number index), hash being bits_hash of its
    // bits; leaves those bits in words_.
    std::size_t cluster_of(const double* row, std::size_t index, std::uint64_t hash);
    std::size_t cluster_of_new_pattern(const double* row, std::size_t index);

    const Matrix& g_;
    std::size_t k_;
    // The tables that every row reads at a random place (the sums, the
    // patterns and their slots) run to megabytes with many clusters; in
    // storage's blocks they sit on huge pages from 2 MiB on, so that those
    // reads miss the address translation cache far less often.
    template <class T>
    using Table = std::vector<T, VectorAllocator<T>>;

    std::vector<std::size_t> first_rows_;        // per cluster, in order of appearance
    Table<double> sums_;                         // per cluster, k_ entries each
    std::vector<std::uint64_t> words_;           // the bits of the row being placed, or last placed
    std::size_t last_cluster_ = 0;               // the cluster of the row last placed, if any
    std::vector<std::uint64_t> hashes_;          // per row of the block being placed
    // In clusters_of's out, between its two sweeps: a row whose bits are
    // those of the row before it.
    static constexpr std::size_t kSameAsBefore = ~std::size_t{0};
    // The distinct bit patterns, g.cols() words each.
    Table<std::uint64_t> patterns_;
    std::size_t pattern_count_ = 0;
    Table<Slot> pattern_slots_;
    // The keys of the clusters' texts (two words per column, see
    // fixed4_key), and the key of the pattern being placed.
    Table<std::uint64_t> keys_;
    std::vector<std::uint64_t> key_;
    std::vector<std::size_t> key_slots_;         // open addressing: cluster index + 1, or 0
};

}  // namespace quorvel
