#include "objective/parameters.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace calvenor {

ModelParameters readParameters(std::span<const double> v) {
    if (v.size() < parameterCount) {
        throw std::invalid_argument("the parameter vector holds " + std::to_string(v.size()) +
                                    " values; 9 are needed (propm enu pkappa plamda pnvoid "
                                    "cohesion z chi sm)");
    }
    return {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
}

HostParameters hostOrder(const ModelParameters& p) {
    return {p.propm, p.enu, p.pkappa, p.plamda, p.pnvoid, p.cohesion, p.z, p.chi, p.sm};
}

double& parameterAt(ModelParameters& p, int index) {
    double* const fields[parameterCount] = {&p.propm, &p.enu, &p.pkappa, &p.plamda, &p.pnvoid,
                                            &p.cohesion, &p.z, &p.chi, &p.sm};
    if (index < 0 || index >= parameterCount) throw std::out_of_range("parameter index " + std::to_string(index));
    return *fields[index];
}

double parameterAt(const ModelParameters& p, int index) {
    return parameterAt(const_cast<ModelParameters&>(p), index);
}

double computePs(const ModelParameters& p) { return std::exp((p.pnvoid - p.z) / p.plamda) - 1.0; }

ConstraintValues computeConstraints(const ModelParameters& p) {
    const double nMinusZ = p.pnvoid - p.z;
    const double ps = std::exp(nMinusZ / p.plamda) - 1.0;
    return {
        ps,
        -nMinusZ,
        1.5 * p.pkappa - p.plamda,
        p.plamda - 15.0 * p.pkappa,
        ps - 20000.0,
        0.0 - ps,
        p.plamda / p.pkappa,
    };
}

ModelConstants modelConstants(const ModelParameters& p) {
    return {p.propm, p.plamda, p.pkappa, p.enu, p.pnvoid, p.chi, p.sm, p.z, p.z, p.cohesion};
}

}  // namespace calvenor
