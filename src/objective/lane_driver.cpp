// The drivers in lanes: the tests of one evaluation stepped together by path
// code, and many parameter sets stepping each test together. Both give the
// sink exactly what the sequential driver gives it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>

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
    if (lanes <= 1) return 1.0;
    // A group of up to four lanes takes one register per value (SSE2: two),
    // a larger one twice as many; the generic kernel steps four lanes of
    // plain doubles.
    const std::string_view name = kernel.name;
    if (name == "avx2") return lanes <= 4 ? 1.35 : 2.2;
    if (name == "sse2") return lanes <= 4 ? 1.6 : 2.8;
    return 2.5 * ((lanes + 3) / 4);
}

namespace {

// Tests per chunk of one evaluation: the buffers of a chunk are all alive at once.
constexpr int chunkTests = 24;
// Two single shear paths stepped alternately, against one after the other.
constexpr double pairFactor = 0.8;
// A compression run to the consolidation pressure, against a shear path.
constexpr double compressionCost = 0.06;

int codeOf(std::int32_t testType) { return testType >= 1 && testType <= 5 ? testType : 0; }

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

// A group of tests of one path code stepped in lanes, or a single test.
struct Unit {
    std::vector<int> tests;
    double shear = 0.0;        // its shear runs
    double compression = 0.0;  // its compression runs
    bool single = false;
};

// Estimated time of a bucket: its groups, and its single tests in pairs.
double bucketCost(const std::vector<const Unit*>& units) {
    double cost = 0.0;
    std::vector<double> singles;
    for (const Unit* u : units) {
        cost += u->compression;
        if (u->single) {
            singles.push_back(u->shear);
        } else {
            cost += u->shear;
        }
    }
    std::sort(singles.rbegin(), singles.rend());
    for (std::size_t i = 0; i < singles.size(); i += 2) {
        cost += i + 1 < singles.size() ? pairFactor * (singles[i] + singles[i + 1]) : singles[i];
    }
    return cost;
}

// Splits the tests of a chunk among at most `workers` buckets of about the
// same estimated time.
void makePlan(TestLanes::Plan& plan, const TestStore& store, int first, int count, unsigned workers,
              const LaneKernel& kernel) {
    plan.key.clear();
    forEachKey(store, first, count, workers, kernel, [&](std::int64_t v) { plan.key.push_back(v); });

    std::vector<Unit> units;
    for (int code = 0; code <= 5; ++code) {
        std::vector<int> tests;
        for (int i = 0; i < count; ++i) {
            const int t = first + i;
            if (codeOf(store.testType[t]) == code && testStart(store, t) != TestStart::unusable) tests.push_back(i);
        }
        for (std::size_t g = 0; g < tests.size(); g += static_cast<std::size_t>(kernel.width)) {
            Unit u;
            const std::size_t end = std::min(tests.size(), g + static_cast<std::size_t>(kernel.width));
            u.tests.assign(tests.begin() + static_cast<std::ptrdiff_t>(g), tests.begin() + static_cast<std::ptrdiff_t>(end));
            const int lanes = static_cast<int>(u.tests.size());
            u.single = lanes == 1;
            u.shear = shearCost(code) * laneGroupFactor(kernel, lanes);
            for (int i : u.tests) {
                if (testStart(store, first + i) == TestStart::compression) u.compression += compressionCost;
            }
            units.push_back(std::move(u));
        }
    }

    const std::size_t nUnits = units.size();
    const std::size_t nBuckets = std::max<std::size_t>(1, std::min<std::size_t>(workers, nUnits));
    std::vector<std::size_t> owner(nUnits, 0);
    auto makespan = [&](const std::vector<std::size_t>& of) {
        double worst = 0.0;
        std::vector<const Unit*> members;
        for (std::size_t b = 0; b < nBuckets; ++b) {
            members.clear();
            for (std::size_t u = 0; u < nUnits; ++u) {
                if (of[u] == b) members.push_back(&units[u]);
            }
            worst = std::max(worst, bucketCost(members));
        }
        return worst;
    };
    double combinations = 1.0;
    for (std::size_t u = 1; u < nUnits; ++u) combinations *= static_cast<double>(nBuckets);
    if (nBuckets > 1 && combinations <= 20000.0) {
        // Every assignment (the first unit in the first bucket).
        std::vector<std::size_t> of(nUnits, 0), best = of;
        double bestCost = makespan(of);
        for (;;) {
            std::size_t u = 1;
            while (u < nUnits && ++of[u] == nBuckets) of[u++] = 0;
            if (u >= nUnits) break;
            const double cost = makespan(of);
            if (cost < bestCost) {
                bestCost = cost;
                best = of;
            }
        }
        owner = best;
    } else if (nBuckets > 1) {
        // Longest first, each to the bucket that is least loaded.
        std::vector<std::size_t> order(nUnits);
        for (std::size_t u = 0; u < nUnits; ++u) order[u] = u;
        auto total = [&](std::size_t u) { return units[u].shear + units[u].compression; };
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return total(a) > total(b); });
        std::vector<double> load(nBuckets, 0.0);
        for (std::size_t u : order) {
            const std::size_t b = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
            owner[u] = b;
            load[b] += total(u);
        }
    }

    plan.buckets.assign(nBuckets, {});
    for (std::size_t u = 0; u < nUnits; ++u) {
        TestLanes::Bucket& b = plan.buckets[owner[u]];
        for (int i : units[u].tests) {
            if (testStart(store, first + i) == TestStart::compression) b.compressions.push_back(i);
        }
        if (units[u].single) {
            b.singles.push_back(units[u].tests[0]);
        } else {
            b.groups.insert(b.groups.end(), units[u].tests.begin(), units[u].tests.end());
            b.groupEnds.push_back(static_cast<int>(b.groups.size()));
        }
    }
    for (auto& b : plan.buckets) std::sort(b.compressions.begin(), b.compressions.end());
}

// The work of one bucket: its compression runs, then its shear runs, of
// the tests before the first test known to stop the evaluation.
void runBucket(const ModelConstants& model, const TestStore& store, int first, const TestLanes::Bucket& bucket,
               std::vector<CompressionLane>& cl, std::vector<ShearLane>& sl, const LaneKernel& kernel,
               TestLanes& s, std::atomic<int>& stopAt) {
    cl.clear();
    for (int i : bucket.compressions) {
        const int t = first + i;
        CompressionLane l;
        l.model = model;
        l.start = listState(store, t);
        l.settings = compressionSettings(store, t);
        l.out = s.window[static_cast<std::size_t>(i)].arrays();
        l.pTarget = store.pConsol[t];
        cl.push_back(l);
    }
    if (cl.size() > 1) {
        kernel.compress(cl);
    } else {
        for (CompressionLane& l : cl) l.search = compressToPressure(l.model, l.start, l.settings, l.out, l.pTarget);
    }
    for (std::size_t k = 0; k < cl.size(); ++k) {
        const int i = bucket.compressions[k];
        const TestOutcome o = consolidation(store, first + i, cl[k].search, s.window[static_cast<std::size_t>(i)]);
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
    // A shear run that ends early leaves entries the sequential driver would
    // hold as the previous test, or the clearing after the compression run,
    // left them: such a test is simulated again in order.
    auto settle = [&](int i, int reached) {
        if (reached < pathPoints) s.redo[static_cast<std::size_t>(i)] = 1;
    };

    std::size_t begin = 0;
    for (int end : bucket.groupEnds) {
        sl.clear();
        for (std::size_t g = begin; g < static_cast<std::size_t>(end); ++g) {
            if (shearable(bucket.groups[g])) sl.push_back(lane(bucket.groups[g]));
        }
        if (sl.size() > 1) {
            kernel.shear(sl);
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
    const auto chunks = static_cast<std::size_t>((n + chunk - 1) / chunk);
    if (s.plans.size() < chunks) s.plans.resize(chunks);
    const unsigned workers = pool.size();

    s.carry.clear();
    const PathBuffers* previous = &s.carry;  // what the buffers hold before the next test
    for (int first = 0, c = 0; first < n; first += chunk, ++c) {
        const int count = std::min(chunk, n - first);
        TestLanes::Plan& plan = s.plans[static_cast<std::size_t>(c)];
        if (!planFits(plan, store, first, count, workers, kernel)) makePlan(plan, store, first, count, workers, kernel);
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
