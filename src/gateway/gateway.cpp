#include "gateway/gateway.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace calvenor::gateway {

// "输入参数个数必须为2个,第一个为本构参数向量，第二个为是否输出理论值开关": an ASCII
// comma after "2个", a full-width comma after "向量".
#if defined(CALVENOR_GBK_MESSAGES)
const char wrongCountMessage[] =
    "\xCA\xE4\xC8\xEB\xB2\xCE\xCA\xFD\xB8\xF6\xCA\xFD\xB1\xD8\xD0\xEB\xCE\xAA\x32\xB8\xF6\x2C"
    "\xB5\xDA\xD2\xBB\xB8\xF6\xCE\xAA\xB1\xBE\xB9\xB9\xB2\xCE\xCA\xFD\xCF\xF2\xC1\xBF\xA3\xAC"
    "\xB5\xDA\xB6\xFE\xB8\xF6\xCE\xAA\xCA\xC7\xB7\xF1\xCA\xE4\xB3\xF6\xC0\xED\xC2\xDB\xD6\xB5"
    "\xBF\xAA\xB9\xD8";
#else
const char wrongCountMessage[] =
    "\xE8\xBE\x93\xE5\x85\xA5\xE5\x8F\x82\xE6\x95\xB0\xE4\xB8\xAA\xE6\x95\xB0\xE5\xBF\x85\xE9"
    "\xA1\xBB\xE4\xB8\xBA\x32\xE4\xB8\xAA\x2C\xE7\xAC\xAC\xE4\xB8\x80\xE4\xB8\xAA\xE4\xB8\xBA"
    "\xE6\x9C\xAC\xE6\x9E\x84\xE5\x8F\x82\xE6\x95\xB0\xE5\x90\x91\xE9\x87\x8F\xEF\xBC\x8C\xE7"
    "\xAC\xAC\xE4\xBA\x8C\xE4\xB8\xAA\xE4\xB8\xBA\xE6\x98\xAF\xE5\x90\xA6\xE8\xBE\x93\xE5\x87"
    "\xBA\xE7\x90\x86\xE8\xAE\xBA\xE5\x80\xBC\xE5\xBC\x80\xE5\x85\xB3";
#endif

namespace {

// Texts for the host live here, not in std::string, so that nothing owns
// memory when the host's error function leaves the call without returning.
char errorText[messageCapacity];
char warningText[warningCapacity + 1][messageCapacity];
const char* warningId[warningCapacity + 1];

void keepText(char* buffer, const char* text) noexcept {
    std::snprintf(buffer, messageCapacity, "%s", text);
}

// What an evaluation leaves for the host: an error to raise (null: none) and
// the number of warnings in warningText.
struct Outcome {
    const char* errorId = nullptr;
    int warnings = 0;
};

// The parameters as the evaluation takes them: one set, or K sets by row.
struct ParameterShape {
    std::size_t sets = 0;
    bool byRow = false;
};

bool isVector(std::size_t rows, std::size_t columns) { return rows == 1 || columns == 1; }

// A real, full, two-dimensional double array; otherwise errorText says why.
bool checkNumeric(const mxArray* input, int position, const char* role) noexcept {
    const char* what = nullptr;
    char found[128];
    if (!mxIsDouble(input)) {
        std::snprintf(found, sizeof found, "a %s array", mxGetClassName(input));
        what = found;
    } else if (mxIsSparse(input)) {
        what = "a sparse array";
    } else if (mxIsComplex(input)) {
        what = "a complex array";
    } else if (mxGetNumberOfDimensions(input) != 2) {
        std::snprintf(found, sizeof found, "an array of %zu dimensions",
                      static_cast<std::size_t>(mxGetNumberOfDimensions(input)));
        what = found;
    }
    if (what == nullptr) return true;
    std::snprintf(errorText, messageCapacity,
                  "input %d (%s) must be a real, full, two-dimensional double array; got %s",
                  position, role, what);
    return false;
}

bool checkParameters(const mxArray* input, ParameterShape& shape) noexcept {
    if (!checkNumeric(input, 1, "parameters")) return false;
    const std::size_t rows = mxGetM(input);
    const std::size_t columns = mxGetN(input);
    if (isVector(rows, columns) && rows * columns >= static_cast<std::size_t>(parameterCount)) {
        shape = {1, false};
        return true;
    }
    if (rows >= 2 && columns >= static_cast<std::size_t>(parameterCount)) {
        shape = {rows, true};
        return true;
    }
    std::snprintf(errorText, messageCapacity,
                  "input 1 (parameters) must be a vector of at least %d values (one parameter set) "
                  "or a K x N matrix with N >= %d (K parameter sets, one per row); got a %zux%zu array",
                  parameterCount, parameterCount, rows, columns);
    return false;
}

bool checkSwitches(const mxArray* input) noexcept {
    if (!checkNumeric(input, 2, "switches")) return false;
    const std::size_t rows = mxGetM(input);
    const std::size_t columns = mxGetN(input);
    if (isVector(rows, columns) && rows * columns >= 3) return true;
    std::snprintf(errorText, messageCapacity,
                  "input 2 (switches) must be a vector of at least 3 values (penalties, reports, "
                  "reload); got a %zux%zu array",
                  rows, columns);
    return false;
}

// The evaluator's warnings: those of the load (about the data), then the
// reports that could not be written.
void keepWarnings(const Evaluator& evaluator, Outcome& outcome) noexcept {
    const std::vector<std::string>& warnings = evaluator.warnings();
    const std::size_t data = evaluator.loadWarnings().size();
    const auto idOf = [data](std::size_t i) { return i < data ? dataWarningId : reportFailedId; };
    const int count = static_cast<int>(std::min<std::size_t>(warnings.size(), warningCapacity));
    for (int i = 0; i < count; ++i) {
        keepText(warningText[i], warnings[i].c_str());
        warningId[i] = idOf(static_cast<std::size_t>(i));
    }
    outcome.warnings = count;
    if (warnings.size() > static_cast<std::size_t>(warningCapacity)) {
        const std::size_t more = warnings.size() - static_cast<std::size_t>(warningCapacity);
        const bool reportsOnly = data <= static_cast<std::size_t>(warningCapacity);
        std::snprintf(warningText[count], messageCapacity,
                      reportsOnly ? "%zu more reports could not be written" : "%zu more warnings", more);
        warningId[count] = idOf(static_cast<std::size_t>(warningCapacity));
        outcome.warnings = count + 1;
    }
}

// Copies the inputs, evaluates and writes errorsOut (K values) and, when
// given, diagnosticsOut (K x 11, column-major). Every exception ends here.
Outcome evaluate(Evaluator& evaluator, const mxArray* parameterInput, const mxArray* switchInput,
                 const ParameterShape& shape, double* errorsOut, double* diagnosticsOut) noexcept {
    Outcome outcome;
    try {
        const double* pr = mxGetPr(parameterInput);
        const double* sr = mxGetPr(switchInput);
        const std::vector<double> switches(sr, sr + mxGetM(switchInput) * mxGetN(switchInput));
        const std::size_t k = shape.sets;
        if (!shape.byRow) {
            const std::vector<double> parameters(pr, pr + mxGetM(parameterInput) * mxGetN(parameterInput));
            errorsOut[0] = evaluateObjective(evaluator, parameters, switches);
            if (diagnosticsOut != nullptr) {
                const HostDiagnostics d = evaluator.diagnostics().hostOrder();
                std::copy(d.begin(), d.end(), diagnosticsOut);
            }
        } else {
            // Element (row, column) of the K x N input is pr[row + column * K].
            std::vector<ModelParameters> sets;
            sets.reserve(k);
            for (std::size_t row = 0; row < k; ++row) {
                std::array<double, parameterCount> values;
                for (std::size_t j = 0; j < values.size(); ++j) values[j] = pr[row + j * k];
                sets.push_back(readParameters(values));
            }
            std::vector<Diagnostics> diagnostics(k);
            evaluator.evaluateBatch(sets, switchOptions(switches), std::span<double>(errorsOut, k), diagnostics, 0);
            if (diagnosticsOut != nullptr) {
                for (std::size_t row = 0; row < k; ++row) {
                    const HostDiagnostics d = diagnostics[row].hostOrder();
                    for (std::size_t j = 0; j < d.size(); ++j) diagnosticsOut[row + j * k] = d[j];
                }
            }
        }
        keepWarnings(evaluator, outcome);
    } catch (const LoadError& e) {
        keepText(errorText, e.what());
        outcome.errorId = loadFailedId;
    } catch (const std::invalid_argument& e) {
        keepText(errorText, e.what());
        outcome.errorId = badInputId;
    } catch (const std::bad_alloc&) {
        keepText(errorText, "out of memory");
        outcome.errorId = outOfMemoryId;
    } catch (const std::exception& e) {
        keepText(errorText, e.what());
        outcome.errorId = internalId;
    } catch (...) {
        keepText(errorText, "unknown failure in the evaluation");
        outcome.errorId = internalId;
    }
    return outcome;
}

}  // namespace

void call(Evaluator& evaluator, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 2) {
        mexErrMsgIdAndTxt(wrongCountId, "%s", wrongCountMessage);
        return;
    }
    ParameterShape shape;
    if (!checkParameters(prhs[0], shape) || !checkSwitches(prhs[1])) {
        mexErrMsgIdAndTxt(badInputId, "%s", errorText);
        return;
    }
    // The outputs belong to the host: it releases them if the call fails.
    plhs[0] = mxCreateDoubleMatrix(shape.sets, 1, mxREAL);
    double* diagnosticsOut = nullptr;
    if (nlhs >= 2) {
        plhs[1] = mxCreateDoubleMatrix(shape.sets, diagnosticsCount, mxREAL);
        diagnosticsOut = mxGetPr(plhs[1]);
    }
    const Outcome outcome = evaluate(evaluator, prhs[0], prhs[1], shape, mxGetPr(plhs[0]), diagnosticsOut);
    for (int i = 0; i < outcome.warnings; ++i) mexWarnMsgIdAndTxt(warningId[i], "%s", warningText[i]);
    if (outcome.errorId != nullptr) mexErrMsgIdAndTxt(outcome.errorId, "%s", errorText);
}

}  // namespace calvenor::gateway
