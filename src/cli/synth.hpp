// Synthetic tests from known parameters: a complete vornevResult/ tree whose
// data are the model's own curves read at chosen strains, optionally with
// multiplicative noise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "objective/parameters.hpp"

namespace calvenor::cli {

struct SynthTest {
    std::string name;        // data file stem
    std::int32_t type = 3;   // 1 to 5
    double pInitial = 50.0;  // kPa, before consolidation
    double eInitial = 0.0;   // void ratio at pInitial
    double pConsol = 100.0;  // kPa, first measured p: shearing starts here
    double strainMax = 0.15; // largest axial strain (plain: 0.15 is 15 %)
    std::int32_t rows = 31;  // measured rows, strains evenly spaced from 0
};

struct SynthConfig {
    ModelParameters parameters{};
    std::vector<SynthTest> tests;
    double noise = 0.0;      // standard deviation of the multiplicative noise
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

// Applies a TOML configuration (keys noise, seed, a [parameters] table of the
// nine values, [[test]] tables). Tests given replace the default tests.
// Throws ConfigError naming the file, line and key.
void applySynthConfig(SynthConfig& config, std::string_view text, const std::string& fileName);

// The configuration as TOML, complete: applying it to the defaults gives it back.
std::string synthConfigToml(const SynthConfig& config);

struct SynthResult {
    std::vector<std::filesystem::path> files;  // lists, data files, synth.toml
    double errorAtTruth = 0.0;                 // the objective at the true parameters
};

// Writes DIR/vornevResult/ (both lists and the data files) and DIR/synth.toml.
// Throws std::runtime_error when a test cannot be simulated.
SynthResult writeSynthetic(const SynthConfig& config, const std::filesystem::path& dir);

}  // namespace calvenor::cli
