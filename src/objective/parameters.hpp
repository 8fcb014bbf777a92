// The trial parameter vector, the derived quantity ps and the seven
// constraint quantities reported with every evaluation.
#pragma once

#include <array>
#include <span>

#include "model/integrators.hpp"

namespace calvenor {

inline constexpr int parameterCount = 9;

// Elements 1 to 9 of the host's parameter vector, in the host's order.
struct ModelParameters {
    double propm;
    double enu;
    double pkappa;
    double plamda;
    double pnvoid;
    double cohesion;
    double z;
    double chi;
    double sm;
};

struct ConstraintValues {
    double ps;              // exp((pnvoid - z) / plamda) - 1
    double zMinusN;         // z - pnvoid, as -(pnvoid - z)
    double kappaBound;      // 1.5 * pkappa - plamda
    double lambdaBound;     // plamda - 15 * pkappa
    double psUpperMargin;   // ps - 20000
    double psLowerMargin;   // 0 - ps
    double lambdaKappaRatio;  // plamda / pkappa
};

// The nine values in the host's order.
using HostParameters = std::array<double, parameterCount>;

// The one conversion between the record and the host's order: readParameters
// takes the first nine values (throws std::invalid_argument when fewer are
// given), hostOrder gives them back, parameterAt is the field of a position
// (0 to 8).
ModelParameters readParameters(std::span<const double> vector);
HostParameters hostOrder(const ModelParameters& p);
double& parameterAt(ModelParameters& p, int index);
double parameterAt(const ModelParameters& p, int index);
double computePs(const ModelParameters& p);
ConstraintValues computeConstraints(const ModelParameters& p);

// The values both integrators receive: z given as zFirst and zSecond.
ModelConstants modelConstants(const ModelParameters& p);

}  // namespace calvenor
