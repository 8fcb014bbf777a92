// calvenor simulate: one run of either integrator, as CSV.
#include <ostream>
#include <string>
#include <vector>

#include "cli/app.hpp"
#include "testdata/test_types.hpp"
#include "model/integrators.hpp"
#include "objective/parameters.hpp"

namespace calvenor::cli {
namespace {

struct SimulateOptions {
    std::string path;
    int testType = 0;
    bool typeGiven = false;
    double p0 = 0.0;
    double e0 = 0.0;
    double strainRange = 0.0;
    int points = 3000;
    double b = 0.0;
    double z2 = 0.0;
    bool z2Given = false;
    double fill = 0.0;
    std::vector<double> parameters;
};

void runSimulate(const SimulateOptions& o, Context& ctx) {
    if (o.path == "shear" && !o.typeGiven) throw UsageError("--type: required for the shear path");
    const ModelParameters p = readParameters(o.parameters);
    ModelConstants model = modelConstants(p);
    if (o.z2Given) model.zSecond = o.z2;
    const StartState start{o.p0, o.e0};

    const auto n = static_cast<std::size_t>(o.points);
    std::vector<std::vector<double>> curves(6, std::vector<double>(n, o.fill));
    const PathArrays out{curves[0], curves[1], curves[2], curves[3], curves[4], curves[5]};
    if (o.path == "shear") {
        integrateShearPath(model, start, ShearSettings{o.b, o.testType, o.strainRange, o.points}, out);
    } else {
        integrateIsotropicCompression(model, start, CompressionSettings{o.b, o.strainRange, o.points},
                                      out);
    }

    std::string text = "point,epsAxial,qDev,pMean,voidRatio,poreU,epsVol\n";
    text.reserve(n * 120);
    for (std::size_t i = 0; i < n; ++i) {
        text += std::to_string(i + 1);
        for (const auto& curve : curves) {
            text += ',';
            text += shortest(curve[i]);
        }
        text += '\n';
    }
    ctx.out << text;
}

}  // namespace

void addSimulateCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<SimulateOptions>();
    CLI::App* sub = app.add_subcommand(
        "simulate",
        "Simulate one strain-controlled path of the model and print it as CSV: point, axial strain, "
        "deviator stress q (kPa), mean stress p (kPa), void ratio, pore pressure (kPa), volumetric "
        "strain. Strains are plain numbers, compression positive.");
    sub->add_option("--path", o->path, "shear: a shear path of the test type; isotropic: drained isotropic compression")
        ->required()
        ->check(CLI::IsMember({"shear", "isotropic"}));
    sub->add_option("--type", o->testType,
                    "test type code of the shear path: " + testTypeCodesText() + "; other codes change no stress")
        ->each([o](const std::string&) { o->typeGiven = true; });
    sub->add_option("--p0", o->p0, "mean effective stress at the start of the path, kPa")->required();
    sub->add_option("--e0", o->e0, "void ratio at the start of the path")->required();
    sub->add_option("--strain-range", o->strainRange,
                    "strain accumulated over the path (axial strain for shear, each principal strain "
                    "for isotropic compression), plain number (0.2 is 20 %)")
        ->required();
    sub->add_option("--points", o->points,
                    "number of points including the start point (at least 2); sets the strain step, "
                    "strain range / (points - 1). Coarse steps change the result (the objective "
                    "always uses 3000 points)")
        ->capture_default_str()
        ->check(wholeNumber(2, 10000000));
    sub->add_option("--b", o->b,
                    "intermediate principal stress parameter b of the shear path, or the blend factor "
                    "between z and --z2 for isotropic compression")
        ->capture_default_str();
    sub->add_option("--z2", o->z2, "second reference void ratio (default: z)")
        ->each([o](const std::string&) { o->z2Given = true; });
    sub->add_option("--fill", o->fill,
                    "value the output arrays hold before the run; entries the run does not write keep it")
        ->capture_default_str();
    sub->add_option("parameters", o->parameters,
                    "the nine model parameters: propm (M) enu (Poisson's ratio) pkappa plamda pnvoid "
                    "(N) cohesion (kPa) z chi sm")
        ->required()
        ->expected(9);
    sub->callback([o, &ctx] { runSimulate(*o, ctx); });
}

}  // namespace calvenor::cli
