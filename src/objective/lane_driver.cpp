// The drivers in lanes: the tests of one evaluation stepped together by path
// code, and many parameter sets stepping each test together. Both give the
// sink exactly what the sequential driver gives it.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "objective/objective.hpp"
#include "objective/test_steps.hpp"

namespace calvenor {

double shearCost(std::int32_t testType) {
    // Scalar shear steps of the lane benchmarks (type 1: 145 ns, 2: 126 ns,
    // 3: 117 ns, 4: 121 ns, 5: 97 ns); other codes only report their start.
    switch (testType) {
        case constantVolume: return 1.0;
        case constantMeanStress: return 0.87;
        case constantMinorStress: return 0.8;
        case zeroLateralStrain: return 0.83;
        case isotropicPath: return 0.67;
        default: return 0.15;
    }
}

double laneGroupFactor(const LaneKernel& kernel, int lanes) {
    return lanes <= 1 ? 1.0 : kernel.groupCost[lanes <= 4 ? 0 : 1];
}

namespace {

// Tests per chunk of one evaluation: the buffers of a chunk are all alive at once.
constexpr int chunkTests = 24;
// Two single shear paths stepped alternately, against one after the other.
constexpr double pairFactor = 0.8;
// A point of a compression run, against a shear path (lane benchmarks: a
// compression step takes about 0.73 of a shear step of type 1).
constexpr double compressionPointCost = 0.73 / pathPoints;

// Calls f with every value the plan of a chunk depends on.
template <class F>
void forEachKey(const TestStore& store, int first, int count, unsigned workers, const LaneKernel& kernel, F&& f) {
    f(static_cast<std::int64_t>(workers));
    f(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(&kernel)));
    f(first);
    f(count);
    for (int t = first; t < first + count; ++t) {
        f(codeOf(store.testType[t]));
        f(static_cast<std::int64_t>(testStart(store, t)));
    }
}

bool planFits(const TestLanes::Plan& plan, const TestStore& store, int first, int count, unsigned workers,
              const LaneKernel& kernel) {
    std::size_t k = 0;
    bool same = true;
    forEachKey(store, first, count, workers, kernel, [&](std::int64_t v) {
        same = same && k < plan.key.size() && plan.key[k] == v;
        ++k;
    });
    return same && k == plan.key.size();
}

// Splits compression runs of the given lengths (in points, ascending) into
// consecutive groups stepped in lanes, a group taking as long as its longest
// run, so that the summed time is least. cut[end] is where the group ending
// before `end` begins; returns the summed time.
double groupCompressions(const LaneKernel& kernel, const int* points, int runs, int* cut) {
    double best[chunkTests + 1];
    best[0] = 0.0;
    for (int i = 1; i <= runs; ++i) {
        best[i] = -1.0;
        for (int size = 1; size <= std::min(i, kernel.width); ++size) {
            const double cost = best[i - size] + laneGroupFactor(kernel, size) * compressionPointCost * points[i - 1];
            if (best[i] < 0.0 || cost < best[i]) {
                best[i] = cost;
                cut[i] = i - size;
            }
        }
    }
    return best[runs];
}

// Of the tests of a chunk: four of one path code, stepped together in
// lanes wherever they go, or one test.
struct Piece {
    std::vector<int> tests;
    int code = 0;
    bool full = false;
};

// A group of several path codes against one of the costliest of them alone:
// the group computes the increments of every code it holds. Groups of up to
// four lanes wait on their chains of operations, larger ones on the divider.
double mixedFactor(int lanes, int codes) { return lanes <= 4 ? 1.1 + 0.05 * (codes - 1) : 1.0 + 0.02 * codes; }

// Lays out the shear runs of a bucket: its full groups, and its other tests
// ordered by path code in groups of up to the kernel's width (of mixed codes
// where they differ), two interleaved, or alone. Returns the estimated time
// of the bucket; fills `bucket` when given.
double layOut(const LaneKernel& kernel, const TestStore& store, int first, const std::vector<int>& compressionPoints,
              const std::vector<const Piece*>& pieces, TestLanes::Bucket* bucket) {
    double cost = 0.0;
    std::vector<int> rest, points;
    auto code = [&](int i) { return codeOf(store.testType[first + i]); };
    auto addGroup = [&](const int* tests, std::size_t n, bool mixed) {
        if (bucket == nullptr) return;
        bucket->groups.insert(bucket->groups.end(), tests, tests + n);
        bucket->groupEnds.push_back(static_cast<int>(bucket->groups.size()));
        bucket->groupMixed.push_back(mixed ? 1 : 0);
    };
    for (const Piece* p : pieces) {
        for (int i : p->tests) {
            if (testStart(store, first + i) != TestStart::compression) continue;
            points.push_back(compressionPoints[static_cast<std::size_t>(first + i)]);
            if (bucket != nullptr) bucket->compressions.push_back(i);
        }
        if (p->full) {
            cost += shearCost(p->code) * laneGroupFactor(kernel, static_cast<int>(p->tests.size()));
            addGroup(p->tests.data(), p->tests.size(), false);
        } else {
            rest.push_back(p->tests[0]);
        }
    }
    std::sort(points.begin(), points.end());
    int cut[chunkTests + 1];
    cost += groupCompressions(kernel, points.data(), static_cast<int>(points.size()), cut);
    std::sort(rest.begin(), rest.end(), [&](int a, int b) { return code(a) != code(b) ? code(a) < code(b) : a < b; });
    const auto width = static_cast<std::size_t>(kernel.width);
    for (std::size_t g = 0; g < rest.size(); g += width) {
        const std::size_t n = std::min(width, rest.size() - g);
        const int* tests = rest.data() + g;
        const int lanes = static_cast<int>(n);
        int codes = 0;
        double costliest = 0.0, summed = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            codes += k == 0 || code(tests[k]) != code(tests[k - 1]) ? 1 : 0;
            costliest = std::max(costliest, shearCost(code(tests[k])));
            summed += shearCost(code(tests[k]));
        }
        // Codes outside 1..5 share no group with the others.
        const bool apart = codes > 1 && code(tests[0]) == 0;
        const double group = codes == 1 ? costliest * laneGroupFactor(kernel, lanes)
                                        : costliest * laneGroupFactor(kernel, lanes) * mixedFactor(lanes, codes);
        const double alone = n == 1 ? summed : n == 2 ? pairFactor * summed : group;
        if (n <= 2 && (alone <= group || apart)) {
            cost += alone;
            if (bucket != nullptr) bucket->singles.insert(bucket->singles.end(), tests, tests + n);
        } else if (apart) {
            // The tests of codes outside 1..5 alone, the others together.
            std::size_t others = 0;
            while (others < n && code(tests[others]) == 0) ++others;
            cost += shearCost(0) * static_cast<double>(others) + group;
            if (bucket != nullptr) bucket->singles.insert(bucket->singles.end(), tests, tests + others);
            if (n - others == 1) {
                if (bucket != nullptr) bucket->singles.push_back(tests[others]);
            } else {
                addGroup(tests + others, n - others, code(tests[others]) != code(tests[n - 1]));
            }
        } else {
            cost += group;
            addGroup(tests, n, codes > 1);
        }
    }
    return cost;
}

// Splits the tests of a chunk among at most `workers` buckets of about the
// same estimated time, and lays each out. The compression runs are made once
// with `model` on `scratch` to measure their lengths.
void makePlan(TestLanes::Plan& plan, const TestStore& store, int first, int count, unsigned workers,
              const LaneKernel& kernel, const ModelConstants& model, PathBuffers& scratch,
              std::vector<int>& compressionPoints) {
    plan.key.clear();
    forEachKey(store, first, count, workers, kernel, [&](std::int64_t v) { plan.key.push_back(v); });
    for (int t = first; t < first + count; ++t) {
        if (testStart(store, t) != TestStart::compression) continue;
        const BracketSearch search =
            compressToPressure(model, listState(store, t), compressionSettings(store, t), scratch.arrays(), store.pConsol[t]);
        compressionPoints[static_cast<std::size_t>(t)] = search.interval >= 0 ? search.interval + 2 : pathPoints;
    }

    // Full groups of four tests of one code, and the tests left over.
    std::vector<Piece> pieces;
    const int full = std::min(4, kernel.width);
    for (int code = 0; code <= 5; ++code) {
        std::vector<int> tests;
        for (int i = 0; i < count; ++i) {
            const int t = first + i;
            if (codeOf(store.testType[t]) == code && testStart(store, t) != TestStart::unusable) tests.push_back(i);
        }
        std::size_t g = 0;
        for (; code != 0 && g + static_cast<std::size_t>(full) <= tests.size(); g += static_cast<std::size_t>(full)) {
            Piece p;
            p.tests.assign(tests.begin() + static_cast<std::ptrdiff_t>(g),
                           tests.begin() + static_cast<std::ptrdiff_t>(g) + full);
            p.code = code;
            p.full = true;
            pieces.push_back(std::move(p));
        }
        for (; g < tests.size(); ++g) {
            Piece p;
            p.tests = {tests[g]};
            p.code = code;
            pieces.push_back(std::move(p));
        }
    }

    const std::size_t nPieces = pieces.size();
    const std::size_t nBuckets = std::max<std::size_t>(1, std::min<std::size_t>(workers, nPieces));
    std::vector<std::size_t> owner(nPieces, 0);
    std::vector<const Piece*> members;
    auto bucketOf = [&](const std::vector<std::size_t>& of, std::size_t b) -> const std::vector<const Piece*>& {
        members.clear();
        for (std::size_t u = 0; u < nPieces; ++u) {
            if (of[u] == b) members.push_back(&pieces[u]);
        }
        return members;
    };
    auto makespan = [&](const std::vector<std::size_t>& of) {
        double worst = 0.0;
        for (std::size_t b = 0; b < nBuckets; ++b) {
            worst = std::max(worst, layOut(kernel, store, first, compressionPoints, bucketOf(of, b), nullptr));
        }
        return worst;
    };
    double combinations = 1.0;
    for (std::size_t u = 1; u < nPieces; ++u) combinations *= static_cast<double>(nBuckets);
    if (nBuckets > 1 && combinations <= 20000.0) {
        // Every assignment (the first piece in the first bucket).
        std::vector<std::size_t> of(nPieces, 0), best = of;
        double bestCost = makespan(of);
        for (;;) {
            std::size_t u = 1;
            while (u < nPieces && ++of[u] == nBuckets) of[u++] = 0;
            if (u >= nPieces) break;
            const double cost = makespan(of);
            if (cost < bestCost) {
                bestCost = cost;
                best = of;
            }
        }
        owner = best;
    } else if (nBuckets > 1) {
        // Largest first, each to the bucket that is least loaded; a test of
        // a mixed group weighs about its share of a full group.
        auto weight = [&](std::size_t u) {
            const Piece& p = pieces[u];
            double w = p.full ? shearCost(p.code) * laneGroupFactor(kernel, static_cast<int>(p.tests.size()))
                              : shearCost(p.code) * laneGroupFactor(kernel, kernel.width) / kernel.width;
            for (int i : p.tests) {
                if (testStart(store, first + i) == TestStart::compression) {
                    w += compressionPointCost * compressionPoints[static_cast<std::size_t>(first + i)];
                }
            }
            return w;
        };
        std::vector<std::size_t> order(nPieces);
        for (std::size_t u = 0; u < nPieces; ++u) order[u] = u;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return weight(a) != weight(b) ? weight(a) > weight(b) : a < b; });
        std::vector<double> load(nBuckets, 0.0);
        for (std::size_t u : order) {
            const std::size_t b = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
            owner[u] = b;
            load[b] += weight(u);
        }
    }

    // The costliest bucket first: the calling thread takes it at once, while
    // the other workers wake up.
    std::vector<std::pair<double, std::size_t>> byCost;
    for (std::size_t b = 0; b < nBuckets; ++b) {
        byCost.emplace_back(-layOut(kernel, store, first, compressionPoints, bucketOf(owner, b), nullptr), b);
    }
    std::sort(byCost.begin(), byCost.end());
    plan.buckets.assign(nBuckets, {});
    for (std::size_t b = 0; b < nBuckets; ++b) {
        layOut(kernel, store, first, compressionPoints, bucketOf(owner, byCost[b].second), &plan.buckets[b]);
    }
}

// The work of one bucket: its compression runs, then its shear runs, of
// the tests before the first test known to stop the evaluation.
void runBucket(const ModelConstants& model, const TestStore& store, int first, TestLanes::Bucket& bucket,
               std::vector<CompressionLane>& cl, std::vector<ShearLane>& sl, const LaneKernel& kernel,
               TestLanes& s, std::atomic<int>& stopAt) {
    // A group of compression runs takes as long as its longest run: runs of
    // about the same length (as the last evaluation measured them) go
    // together, in groups whose summed time is least.
    std::vector<int>& order = bucket.compressions;
    auto points = [&](int i) { return s.compressionPoints[static_cast<std::size_t>(first + i)]; };
    for (std::size_t a = 1; a < order.size(); ++a) {
        for (std::size_t b = a; b > 0 && points(order[b]) < points(order[b - 1]); --b) std::swap(order[b], order[b - 1]);
    }
    const int runs = static_cast<int>(order.size());
    int lengths[chunkTests];
    int cut[chunkTests + 1];
    for (int k = 0; k < runs; ++k) lengths[k] = points(order[static_cast<std::size_t>(k)]);
    groupCompressions(kernel, lengths, runs, cut);
    cl.clear();
    for (int i : order) {
        const int t = first + i;
        CompressionLane l;
        l.model = model;
        l.start = listState(store, t);
        l.settings = compressionSettings(store, t);
        l.out = s.window[static_cast<std::size_t>(i)].arrays();
        l.pTarget = store.pConsol[t];
        cl.push_back(l);
    }
    for (int end = runs; end > 0; end = cut[end]) {
        const std::span<CompressionLane> group(cl.data() + cut[end], static_cast<std::size_t>(end - cut[end]));
        if (group.size() > 1) {
            kernel.compress(group);
        } else {
            for (CompressionLane& l : group) l.search = compressToPressure(l.model, l.start, l.settings, l.out, l.pTarget);
        }
    }
    for (std::size_t k = 0; k < cl.size(); ++k) {
        const int i = order[k];
        const BracketSearch& search = cl[k].search;
        s.compressionPoints[static_cast<std::size_t>(first + i)] = search.interval >= 0 ? search.interval + 2 : pathPoints;
        const TestOutcome o = consolidation(store, first + i, search, s.window[static_cast<std::size_t>(i)]);
        s.outcomes[static_cast<std::size_t>(i)] = o;
        s.redo[static_cast<std::size_t>(i)] = o.readsPrevious ? 1 : 0;
        if (o.usable) {
            s.starts[static_cast<std::size_t>(i)] = {o.pConsol, o.eConsol};
        } else if (!o.readsPrevious) {
            int seen = stopAt.load(std::memory_order_relaxed);
            while (i < seen && !stopAt.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
            }
        }
    }

    const int limit = stopAt.load(std::memory_order_relaxed);
    auto shearable = [&](int i) {
        return i < limit && s.outcomes[static_cast<std::size_t>(i)].usable && s.redo[static_cast<std::size_t>(i)] == 0;
    };
    auto lane = [&](int i) {
        ShearLane l;
        l.model = model;
        l.start = s.starts[static_cast<std::size_t>(i)];
        l.settings = shearSettings(store, first + i);
        PathBuffers& b = s.window[static_cast<std::size_t>(i)];
        // Never written by a run, and 0 in the sequential driver's buffers.
        b.epsVol[0] = 0.0;
        b.poreU[0] = 0.0;
        l.out = b.arrays();
        return l;
    };
    // A shear run that ends early leaves entries as they were. After a
    // compression run the sequential driver clears the buffers first: the
    // run is made again on cleared buffers. A test that begins directly
    // holds the previous test's entries there: it is simulated again in order.
    auto settle = [&](int i, int reached) {
        if (reached >= pathPoints) return;
        if (testStart(store, first + i) == TestStart::compression) {
            PathBuffers& b = s.window[static_cast<std::size_t>(i)];
            b.clear();
            runShearPath(model, s.starts[static_cast<std::size_t>(i)], shearSettings(store, first + i), b.arrays());
        } else {
            s.redo[static_cast<std::size_t>(i)] = 1;
        }
    };

    std::size_t begin = 0;
    for (std::size_t group = 0; group < bucket.groupEnds.size(); ++group) {
        const int end = bucket.groupEnds[group];
        sl.clear();
        for (std::size_t g = begin; g < static_cast<std::size_t>(end); ++g) {
            if (shearable(bucket.groups[g])) sl.push_back(lane(bucket.groups[g]));
        }
        if (sl.size() > 1) {
            (bucket.groupMixed[group] != 0 ? kernel.shearMixed : kernel.shear)(sl);
        } else {
            for (ShearLane& l : sl) l.reached = runShearPath(l.model, l.start, l.settings, l.out);
        }
        std::size_t k = 0;
        for (std::size_t g = begin; g < static_cast<std::size_t>(end); ++g) {
            if (shearable(bucket.groups[g])) settle(bucket.groups[g], sl[k++].reached);
        }
        begin = static_cast<std::size_t>(end);
    }

    // Single tests two at a time, their steps interleaved.
    sl.clear();
    for (int i : bucket.singles) {
        if (shearable(i)) sl.push_back(lane(i));
    }
    for (std::size_t k = 0; k < sl.size(); k += 2) {
        ShearLane& a = sl[k];
        if (k + 1 < sl.size()) {
            ShearLane& b = sl[k + 1];
            runShearPathPair(a.model, a.start, a.settings, a.out, a.reached, b.start, b.settings, b.out, b.reached);
        } else {
            a.reached = runShearPath(a.model, a.start, a.settings, a.out);
        }
    }
    std::size_t k = 0;
    for (int i : bucket.singles) {
        if (shearable(i)) settle(i, sl[k++].reached);
    }
}

}  // namespace

int runDriverLanes(const ModelParameters& parameters, const TestStore& store, WorkerPool& pool,
                   const LaneKernel& kernel, TestLanes& s, TestSink sink, StopReason* stop) {
    const ModelConstants model = modelConstants(parameters);
    const int n = store.nTests;
    if (n < 1) return 0;
    const int chunk = std::min(n, chunkTests);
    const auto size = static_cast<std::size_t>(chunk);
    if (s.window.size() < size) s.window.resize(size);
    if (s.outcomes.size() < size) {
        s.outcomes.resize(size);
        s.starts.resize(size);
        s.redo.resize(size);
    }
    if (s.compressionPoints.size() != static_cast<std::size_t>(n)) s.compressionPoints.assign(static_cast<std::size_t>(n), 0);
    const auto chunks = static_cast<std::size_t>((n + chunk - 1) / chunk);
    if (s.plans.size() < chunks) s.plans.resize(chunks);
    const unsigned workers = pool.size();

    s.carry.clear();
    const PathBuffers* previous = &s.carry;  // what the buffers hold before the next test
    for (int first = 0, c = 0; first < n; first += chunk, ++c) {
        const int count = std::min(chunk, n - first);
        TestLanes::Plan& plan = s.plans[static_cast<std::size_t>(c)];
        if (!planFits(plan, store, first, count, workers, kernel)) {
            makePlan(plan, store, first, count, workers, kernel, model, s.window[0], s.compressionPoints);
        }
        const std::size_t buckets = plan.buckets.size();
        if (s.compression.size() < buckets) {
            s.compression.resize(buckets);
            s.shear.resize(buckets);
        }
        for (std::size_t b = 0; b < buckets; ++b) {
            const TestLanes::Bucket& bucket = plan.buckets[b];
            s.compression[b].reserve(bucket.compressions.size());
            s.shear[b].reserve(std::max(bucket.groups.size(), bucket.singles.size()));
        }

        // The first position known to stop the evaluation, whatever the
        // buffers held: later tests need no shear run.
        std::atomic<int> stopAt{count};
        for (int i = 0; i < count; ++i) {
            const int t = first + i;
            s.redo[static_cast<std::size_t>(i)] = 0;
            switch (testStart(store, t)) {
                case TestStart::unusable:
                    s.outcomes[static_cast<std::size_t>(i)] = unusableOutcome();
                    if (i < stopAt.load(std::memory_order_relaxed)) stopAt.store(i, std::memory_order_relaxed);
                    break;
                case TestStart::direct:
                    s.outcomes[static_cast<std::size_t>(i)] = directOutcome(store, t);
                    s.starts[static_cast<std::size_t>(i)] = listState(store, t);
                    break;
                case TestStart::compression: break;
            }
        }
        pool.run(buckets, [&](std::size_t b, unsigned) {
            runBucket(model, store, first, plan.buckets[b], s.compression[b], s.shear[b], kernel, s, stopAt);
        });

        for (int i = 0; i < count; ++i) {
            const int t = first + i;
            PathBuffers& buffers = s.window[static_cast<std::size_t>(i)];
            if (s.redo[static_cast<std::size_t>(i)] != 0) {
                buffers = *previous;
                s.outcomes[static_cast<std::size_t>(i)] = simulateTest(model, store, t, buffers);
            }
            const TestOutcome& o = s.outcomes[static_cast<std::size_t>(i)];
            if (!o.usable) {
                if (stop != nullptr) *stop = o.stop;
                return t;
            }
            sink(t, o.pConsol, o.eConsol, buffers);
            previous = &buffers;
        }
        if (first + count < n) {
            s.carry = *previous;
            previous = &s.carry;
        }
    }
    return n;
}

void runSetsInLanes(const LaneKernel& kernel, std::span<const ModelParameters> sets, const TestStore& store,
                    SetLanes& s, SetSink sink, std::span<int> reach) {
    const std::size_t n = sets.size();
    if (s.buffers.size() < n) s.buffers.resize(n);
    if (s.models.size() < n) {
        s.models.resize(n);
        s.starts.resize(n);
    }
    s.members.clear();
    for (std::size_t i = 0; i < n; ++i) {
        s.models[i] = modelConstants(sets[i]);
        s.buffers[i].clear();
        reach[i] = store.nTests;
        s.members.push_back(static_cast<int>(i));
    }
    for (int t = 0; t < store.nTests && !s.members.empty(); ++t) {
        const TestStart start = testStart(store, t);
        if (start == TestStart::unusable) {
            for (int m : s.members) reach[static_cast<std::size_t>(m)] = t;
            break;
        }
        const bool compressed = start == TestStart::compression;
        if (compressed) {
            s.compression.clear();
            for (int m : s.members) {
                CompressionLane l;
                l.model = s.models[static_cast<std::size_t>(m)];
                l.start = listState(store, t);
                l.settings = compressionSettings(store, t);
                l.out = s.buffers[static_cast<std::size_t>(m)].arrays();
                l.pTarget = store.pConsol[t];
                s.compression.push_back(l);
            }
            if (s.compression.size() > 1) {
                kernel.compress(s.compression);
            } else {
                for (CompressionLane& l : s.compression) {
                    l.search = compressToPressure(l.model, l.start, l.settings, l.out, l.pTarget);
                }
            }
            std::size_t kept = 0;
            for (std::size_t k = 0; k < s.members.size(); ++k) {
                const auto m = static_cast<std::size_t>(s.members[k]);
                const TestOutcome o = consolidation(store, t, s.compression[k].search, s.buffers[m]);
                if (!o.usable) {
                    reach[m] = t;
                    continue;
                }
                // The buffers are cleared before the shear run; a run that
                // reaches its last point writes every entry but the first of
                // the volumetric strain and the pore pressure (never written,
                // so still 0), so the clearing waits for a run that does not.
                s.starts[m] = {o.pConsol, o.eConsol};
                s.members[kept++] = s.members[k];
            }
            s.members.resize(kept);
        } else {
            for (int m : s.members) s.starts[static_cast<std::size_t>(m)] = listState(store, t);
        }
        if (s.members.empty()) break;

        s.shear.clear();
        for (int m : s.members) {
            ShearLane l;
            l.model = s.models[static_cast<std::size_t>(m)];
            l.start = s.starts[static_cast<std::size_t>(m)];
            l.settings = shearSettings(store, t);
            l.out = s.buffers[static_cast<std::size_t>(m)].arrays();
            s.shear.push_back(l);
        }
        if (s.shear.size() > 1) {
            kernel.shear(s.shear);
        } else {
            for (ShearLane& l : s.shear) l.reached = runShearPath(l.model, l.start, l.settings, l.out);
        }
        for (std::size_t k = 0; k < s.members.size(); ++k) {
            const auto m = static_cast<std::size_t>(s.members[k]);
            const ShearLane& l = s.shear[k];
            if (compressed && l.reached < pathPoints) {
                s.buffers[m].clear();
                runShearPath(l.model, l.start, l.settings, l.out);
            }
            sink(static_cast<int>(m), t, s.buffers[m]);
        }
    }
}

}  // namespace calvenor
