#include "core/optimizer.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/covariance.hpp"

namespace quorvel {

namespace {

// The Newton direction -H^-1 g uphill: -H is positive semi-definite on the
// probit log-likelihood, so d solves (-H) d = g in the identified directions.
Vector newton_direction(const Matrix& hessian, const Vector& g) {
    Matrix neg(hessian.rows(), hessian.cols());
    for (std::size_t r = 0; r < hessian.rows(); ++r)
        for (std::size_t c = 0; c < hessian.cols(); ++c) neg(r, c) = -hessian(r, c);
    return solve_psd_identified(neg, g);
}

// The model's own rows.  The accepted halving trial gets its score and
// Hessian from a full evaluation at its point (the same values, bit for bit,
// as from recorded rows), not from a record of z and P: that record would
// cost two n-vectors, 16 bytes a row, for a step that is rarely taken.
class InMemoryObjective final : public Objective {
public:
    InMemoryObjective(const Probit& model, const Interrupt& interrupt)
        : model_(model), interrupt_(interrupt) {}
    // A model whose rows are still to be copied from rows: the first
    // evaluation copies them in.  With clusters, the meat asked for is the
    // cluster-robust one.
    InMemoryObjective(Probit& model, const MatrixView& rows, const Matrix* clusters, const Interrupt& interrupt)
        : model_(model), interrupt_(interrupt), filling_(&model), rows_(&rows), clusters_(clusters) {}

    std::size_t k() const override { return model_.k(); }
    Evaluation evaluate(const Vector& beta, unsigned sums, bool record) override {
        if (record) recorded_ = beta;
        if (filling_ != nullptr) {
            Probit& model = *filling_;
            filling_ = nullptr;
            return evaluate_copying_rows(model, *rows_, beta, sums);
        }
        return evaluate_at(beta, sums);
    }
    void complete(unsigned sums, Evaluation& e) override {
        Evaluation full = evaluate_at(recorded_, sums);
        if (sums & kScore) e.score = std::move(full.score);
        if (sums & kHessian) e.hessian = std::move(full.hessian);
        if (sums & kMeat) e.meat = std::move(full.meat);
    }

private:
    Evaluation evaluate_at(const Vector& beta, unsigned sums) {
        if (clusters_ == nullptr || (sums & kMeat) == 0)
            return quorvel::evaluate(model_, beta, sums, nullptr, interrupt_);
        // The clusters' score sums in the same pass, and their meat: what
        // the covariance would otherwise form in a pass of its own.  A pass
        // that turns out not to be the last leaves the grouping's clusters
        // for the next one, which then only looks them up.
        if (grouping_)
            grouping_->clear_sums();
        else
            grouping_.emplace(*clusters_, model_.k());
        Evaluation e = quorvel::evaluate(model_, beta, sums & ~unsigned{kMeat}, nullptr, interrupt_, &*grouping_);
        e.meat = cluster_meat(grouping_->sums(), grouping_->clusters(), model_.k(), interrupt_);
        return e;
    }

    const Probit& model_;
    const Interrupt& interrupt_;
    Vector recorded_;  // the point of the last recording evaluation
    Probit* filling_ = nullptr;          // the model, until its rows are copied in
    const MatrixView* rows_ = nullptr;   // where they come from
    const Matrix* clusters_ = nullptr;   // the cluster matrix of the meat, or null for HC0
    std::optional<ClusterGrouping> grouping_;  // its clusters, from the first pass that formed the meat
};

}  // namespace

FitResult fit_newton(Objective& objective, std::uint64_t max_iter, double tol, const Interrupt& interrupt,
                     bool want_meat, bool hedged_meat) {
    const std::size_t k = objective.k();
    FitResult out;
    Vector beta(k, 0.0);
    if (max_iter == 0) {
        out.loglike = objective.evaluate(beta, kLogLike, false).loglike;
        out.params = std::move(beta);
        out.passes = 1;
        return out;
    }
    Evaluation current = objective.evaluate(beta, kLogLike | kScore | kHessian, false);
    std::uint64_t passes = 1;
    Vector bt(k);
    const unsigned meat = want_meat ? kMeat : 0u;
    double last_change = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = 0;;) {
        if (interrupt) interrupt();
        const Vector d = newton_direction(current.hessian, current.score);

        // The full step is evaluated with its score and Hessian, which are
        // kept when it is accepted (the usual case).  A shorter step is
        // evaluated for its log-likelihood alone; the accepted one then gets
        // its score and Hessian by completing the recorded point.
        double alpha = 1.0;
        for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
        // The quadratic model predicts the full step to raise the
        // log-likelihood by g.d / 2; near the optimum that is what it does,
        // up to the rounding of the log-likelihood sums, which the change of
        // the last iteration shows.
        double gd = 0.0;
        for (std::size_t j = 0; j < k; ++j) gd = gd + current.score[j] * d[j];
        const bool likely_last = hedged_meat
                                     ? 0.5 * gd < 10.0 * tol || last_change < 1000.0 * tol || i + 1 == max_iter
                                     : 0.5 * gd < tol || i + 1 == max_iter;
        const unsigned full_sums = kLogLike | kScore | kHessian | (likely_last ? meat : 0u);
        Evaluation trial = objective.evaluate(bt, full_sums, false);
        ++passes;
        bool with_meat = (full_sums & kMeat) != 0;  // trial holds the meat
        bool complete = true;
        // A full step near the optimum that lowers the log-likelihood by
        // less than tol lost only rounding: it is kept (and the stop test
        // fires).  Written so that tol <= 0 or NaN never takes it.
        const bool noise = 0.5 * gd < tol && current.loglike - trial.loglike < tol;
        for (int halvings = 0; halvings < 10 && current.loglike > trial.loglike && !noise; ++halvings) {
            alpha = alpha * 0.5;
            for (std::size_t j = 0; j < k; ++j) bt[j] = beta[j] + d[j] * alpha;
            trial = objective.evaluate(bt, kLogLike, true);
            ++passes;
            complete = false;
        }
        if (!complete) {
            objective.complete(kScore | kHessian | meat, trial);
            ++passes;
            with_meat = meat != 0;
        }

        const double ll_old = current.loglike;
        std::swap(beta, bt);
        current = std::move(trial);
        last_change = std::fabs(current.loglike - ll_old);
        const bool stop = last_change < tol;
        if (stop || i + 1 == max_iter) {
            out.params = std::move(beta);
            out.loglike = current.loglike;
            out.iterations = i;
            out.converged = stop;
            out.hessian = std::move(current.hessian);
            if (with_meat) out.meat = std::move(current.meat);
            out.passes = passes;
            return out;
        }
        ++i;
    }
}

FitResult fit_bfgs(const Probit& model, std::uint64_t max_iter, double tol, const Interrupt& interrupt,
                   bool want_meat) {
    InMemoryObjective objective(model, interrupt);
    return fit_newton(objective, max_iter, tol, interrupt, want_meat);
}

FitResult fit_bfgs(Probit& model, const MatrixView& rows, std::uint64_t max_iter, double tol,
                   const Interrupt& interrupt, bool want_meat, const Matrix* clusters) {
    InMemoryObjective objective(model, rows, clusters, interrupt);
    return fit_newton(objective, max_iter, tol, interrupt, want_meat);
}

}  // namespace quorvel
