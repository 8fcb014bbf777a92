// Synthetic tests from known parameters: the model's own curves read at
// chosen strains, exactly as the objective reads them, optionally with noise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "objective/parameters.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

struct SynthTest {
    std::string name;        // data file stem
    std::int32_t type = 3;   // 1 to 5
    double pInitial = 50.0;  // kPa, before consolidation
    double eInitial = 0.0;   // void ratio at pInitial
    double pConsol = 100.0;  // kPa, first measured p: shearing starts here
    double strainMax = 0.15; // largest axial strain (plain: 0.15 is 15 %)
    std::int32_t rows = 31;  // measured rows, strains evenly spaced from 0
};

// How the noise acts on each simulated value v of q, p, ev and u (g a
// standard normal number, drawn from the seed in the same sequence for both):
// multiplicative, v (1 + noise g); additive, v + noise A g with A the test's
// largest absolute simulated value of that quantity, so that the noise is
// Gaussian with the same standard deviation, noise, in the normalised
// residuals the objective and the likelihood use.
enum class SynthNoise { multiplicative, additive };

struct SynthConfig {
    ModelParameters parameters{};
    std::vector<SynthTest> tests;
    double noise = 0.0;      // standard deviation of the noise (see SynthNoise)
    SynthNoise noiseModel = SynthNoise::multiplicative;
    std::uint32_t seed = 1;
};

// The void ratio on the model's isotropic normal compression line at p:
// z - plamda * ln((p + ps) / (1 + ps)), rounded to 4 decimals.
double normalCompressionVoidRatio(const ModelParameters& p, double pressure);

// The documented defaults: a clay with M 1.2, enu 0.3, kappa 0.02, lambda
// 0.12, N 2.3, c 0, z 2.2, chi 0.2, m 1.0; undrained (type 1) and drained
// (type 3) tests consolidated from 50 kPa to 100, 200 and 400 kPa, 31 rows to
// 15 % axial strain; no noise; seed 1.
SynthConfig defaultSynthConfig();

// The default name of a test: CU100, CD200, T4-100.
std::string defaultSynthName(std::int32_t type, double pConsol);

struct SynthResult {
    std::vector<LabTest> tests;  // named .\vornevResult\NAME.txt
    double errorAtTruth = 0.0;   // the objective at the true parameters, no penalties
};

// The tests of the configuration, simulated with its parameters. Throws
// CalibrationError when a test cannot be simulated.
SynthResult synthesize(const SynthConfig& config);

}  // namespace calvenor
