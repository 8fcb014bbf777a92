#include "calibration/synthesis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "calibration/calibration_error.hpp"
#include "io/numbers.hpp"
#include "objective/objective.hpp"

namespace calvenor {

double normalCompressionVoidRatio(const ModelParameters& p, double pressure) {
    const double ps = computePs(p);
    const double e = p.z - p.plamda * std::log((pressure + ps) / (1.0 + ps));
    return std::round(e * 1e4) / 1e4;
}

SynthConfig defaultSynthConfig() {
    SynthConfig c;
    c.parameters = ModelParameters{1.2, 0.3, 0.02, 0.12, 2.3, 0.0, 2.2, 0.2, 1.0};
    const double e0 = normalCompressionVoidRatio(c.parameters, 50.0);
    for (std::int32_t type : {1, 3}) {
        for (double pc : {100.0, 200.0, 400.0}) {
            SynthTest t;
            t.name = defaultSynthName(type, pc);
            t.type = type;
            t.pInitial = 50.0;
            t.eInitial = e0;
            t.pConsol = pc;
            c.tests.push_back(t);
        }
    }
    return c;
}

std::string defaultSynthName(std::int32_t type, double pConsol) {
    const std::string prefix = type == 1 ? "CU" : type == 3 ? "CD" : "T" + std::to_string(type) + "-";
    return prefix + shortest(pConsol);
}

namespace {

// Standard normal numbers from a fixed engine (Box-Muller), reproducible from the seed.
class Noise {
public:
    explicit Noise(std::uint32_t seed) : rng_(seed) {}
    double next() {
        const double u1 = (static_cast<double>(rng_() >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]
        const double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;          // [0, 1)
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace

SynthResult synthesize(const SynthConfig& config) {
    if (config.tests.empty()) throw CalibrationError("no tests to synthesise");
    SynthResult result;
    // The rows hold the strains and the consolidation pressure: the store
    // built from them derives the values the objective will use.
    std::vector<LabTest>& tests = result.tests;
    for (const SynthTest& test : config.tests) {
        LabTest& t = tests.emplace_back();
        t.name = ".\\vornevResult\\" + test.name + ".txt";
        t.type = test.type;
        t.pInitial = test.pInitial;
        t.eInitial = test.eInitial;
        for (std::int32_t r = 0; r < test.rows; ++r) {
            const double strain = std::round(test.strainMax * r / (test.rows - 1) * 1e6) / 1e6;
            t.rows.push_back({strain, 0.0, test.pConsol, 0.0, 0.0});
        }
    }

    // The model's curves read at the strains, exactly as the objective reads them.
    const TestStore store = buildTestStore(tests);
    PathBuffers buffers;
    std::vector<std::vector<bool>> bracketed(tests.size());
    for (std::size_t t = 0; t < tests.size(); ++t) bracketed[t].assign(tests[t].rows.size(), false);
    const int reached = runDriver(config.parameters, store, buffers, [&](int t, double, double, const PathBuffers& b) {
        const std::array<const double*, columnCount> curve = {b.epsAxial.data(), b.qDev.data(), b.pMean.data(),
                                                              b.epsVol.data(), b.poreU.data()};
        interpolateTest(store, t, curve, [&](int r, const std::array<double, columnCount>& v) {
            tests[static_cast<std::size_t>(t)].rows[static_cast<std::size_t>(r)] = v;
            bracketed[static_cast<std::size_t>(t)][static_cast<std::size_t>(r)] = true;
        });
    });
    if (reached < store.nTests) {
        const SynthTest& test = config.tests[static_cast<std::size_t>(reached)];
        throw CalibrationError("test " + test.name + ": with these parameters the isotropic compression from " +
                               shortest(test.pInitial) + " kPa (void ratio " + shortest(test.eInitial) +
                               ") does not reach " + shortest(test.pConsol) + " kPa");
    }
    Noise noise(config.seed);
    const bool additive = config.noiseModel == SynthNoise::additive;
    for (std::size_t t = 0; t < tests.size(); ++t) {
        const SynthTest& test = config.tests[t];
        auto& rows = tests[t].rows;
        // The largest absolute value of each quantity, before any noise.
        std::array<double, columnCount> largest{};
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (int c = qCol; c <= uCol; ++c) {
                const double v = r == 0 && c == pCol ? test.pConsol : rows[r][static_cast<std::size_t>(c)];
                largest[static_cast<std::size_t>(c)] = std::max(largest[static_cast<std::size_t>(c)], std::abs(v));
            }
        }
        for (std::size_t r = 0; r < rows.size(); ++r) {
            if (!bracketed[t][r]) {
                throw CalibrationError("test " + test.name + ": the simulated path does not reach the strain " +
                                       shortest(rows[r][strainCol]));
            }
            auto& row = rows[r];
            if (r == 0) row[pCol] = test.pConsol;  // shearing starts at the consolidation pressure
            for (int c = qCol; c <= uCol; ++c) {
                const double g = noise.next();
                if (!(config.noise > 0.0) || (r == 0 && c == pCol)) continue;
                double& v = row[static_cast<std::size_t>(c)];
                if (additive) v += config.noise * largest[static_cast<std::size_t>(c)] * g;
                else v *= 1.0 + config.noise * g;
            }
            for (int c = qCol; c <= uCol; ++c) {
                if (!std::isfinite(row[static_cast<std::size_t>(c)])) {
                    throw CalibrationError("test " + test.name + ": the simulated curve is not finite at strain " +
                                           shortest(row[strainCol]));
                }
            }
        }
    }

    Evaluator evaluator(tests);
    result.errorAtTruth = evaluator.evaluate(config.parameters, {});
    return result;
}

}  // namespace calvenor
