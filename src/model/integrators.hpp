// Point-by-point integration of strain-controlled paths of the critical-state
// model: drained isotropic compression and the shear paths of the test types.
#pragma once

#include <cstdint>
#include <span>

namespace calvenor {

// Model values handed to both integrators.
struct ModelConstants {
    double propm;     // M, critical-state stress ratio
    double plamda;    // lambda, slope of the normal compression line
    double pkappa;    // kappa, slope of the unloading line
    double enu;       // Poisson's ratio
    double pnvoid;    // N, void ratio of the normal compression line at 1 kPa
    double chi;       // yield-surface shape parameter
    double sm;        // exponent of the characteristic stress ratio
    double zFirst;    // reference void ratio, first value
    double zSecond;   // reference void ratio, second value
    double cohesion;  // kPa
};

// State on the isotropic axis at which a path starts.
struct StartState {
    double pStart;  // mean stress, kPa
    double eStart;  // void ratio
};

// Test type codes of the shear path.
enum TestTypeCode : std::int32_t {
    constantVolume = 1,        // undrained: volume held, pore pressure reported
    constantMeanStress = 2,
    constantMinorStress = 3,   // conventional drained compression
    zeroLateralStrain = 4,     // zero strain on axis 2
    isotropicPath = 5,
};

struct ShearSettings {
    double bValue = 0.0;           // intermediate principal stress parameter b
    std::int32_t testType = 3;     // any value; codes outside 1..5 change no stress
    double strainRange = 0.0;      // axial strain accumulated over the path
    std::int32_t nPoints = 3000;   // points including the start point
};

struct CompressionSettings {
    double zBlend = 0.0;           // blend factor between zFirst and zSecond
    double strainRange = 0.0;      // principal strain accumulated over the path
    std::int32_t nPoints = 3000;
};

// The six output curves, point 1 at index 0. Each must hold at least nPoints
// entries; entries a run does not write keep what they held.
struct PathArrays {
    std::span<double> epsAxial;
    std::span<double> qDev;
    std::span<double> pMean;
    std::span<double> voidRatio;
    std::span<double> poreU;
    std::span<double> epsVol;
};

// Throws std::invalid_argument if an output array is shorter than nPoints.
void checkPathArrays(const PathArrays& out, int nPoints);

// Every run below checks its arrays with checkPathArrays before it writes.
// The six curves must not overlap.
void integrateShearPath(const ModelConstants& model, const StartState& start,
                        const ShearSettings& settings, const PathArrays& out);

void integrateIsotropicCompression(const ModelConstants& model, const StartState& start,
                                   const CompressionSettings& settings, const PathArrays& out);

// The path code a test type is stepped by: 1 to 5, or 0 for every other
// type (a run that only reports its start).
constexpr int codeOf(std::int32_t testType) { return testType >= 1 && testType <= 5 ? testType : 0; }

// The shear path, returning the number of points it reached: nPoints, or
// the point whose void ratio ended the path early.
int runShearPath(const ModelConstants& model, const StartState& start, const ShearSettings& settings,
                 const PathArrays& out);

// Two shear paths at once, each exactly as runShearPath gives it, with their
// steps interleaved for throughput. reachedA and reachedB receive the points
// each path reached.
void runShearPathPair(const ModelConstants& model, const StartState& startA, const ShearSettings& a,
                      const PathArrays& outA, int& reachedA, const StartState& startB,
                      const ShearSettings& b, const PathArrays& outB, int& reachedB);

// Where the mean-stress curve of a compression run first brackets a pressure.
struct BracketSearch {
    int interval;        // first j (from 0) with pMean[j] <= p < pMean[j + 1], or -1
    bool readUnwritten;  // the search went over entries the run left as they were
};

// The isotropic compression run followed by the search for the first
// interval of pMean over all nPoints that brackets pTarget. The run stops as
// soon as that interval is known, so entries after it may keep what they
// held; the result is that of the full run followed by a scan.
BracketSearch compressToPressure(const ModelConstants& model, const StartState& start,
                                 const CompressionSettings& settings, const PathArrays& out,
                                 double pTarget);

}  // namespace calvenor
