// Helpers for comparing doubles to the bit and reading reference vectors.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace calvenor::testing {

// Equal to the bit, except that any NaN equals any NaN.
inline bool sameDouble(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// Reads a number as the vectors write it ("nan", "inf", "-inf" included).
double parseNumber(const std::string& text);

inline std::filesystem::path sharedDir() { return CALVENOR_SHARED_DIR; }
inline std::filesystem::path sourceDir() { return CALVENOR_SOURCE_DIR; }

// One reference run of an integrator: its inputs by name and its CSV rows.
struct PathVector {
    std::map<std::string, std::string> inputs;
    std::vector<std::vector<double>> rows;  // point, epsAxial, qDev, pMean, voidRatio, poreU, epsVol
    double number(const std::string& name) const { return parseNumber(inputs.at(name)); }
};
PathVector readPathVector(const std::filesystem::path& file);

// The bytes of a file ("" when it cannot be read).
std::string readAll(const std::filesystem::path& file);
// The lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

// A fresh, empty temporary folder removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace calvenor::testing
