// The gateway against a recording fake host: argument checks, copies, output
// shapes, and the error and warning paths.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "fake_host.hpp"
#include "gateway/gateway.hpp"
#include "support/exact.hpp"

// Live allocations through the global operator new, to see that a host error
// that does not return leaves nothing behind.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> liveAllocations{0};
}

void* operator new(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    ++liveAllocations;
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    --liveAllocations;
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

namespace fs = std::filesystem;
using calvenor::Evaluator;
using calvenor::testing::sameDouble;
using calvenor::testing::TempDir;

const fs::path exampleData = calvenor::testing::sharedDir() / "vectors/evaluations/01-random-set-1";

// Three parameter sets that give three different error values on the example.
const std::vector<std::vector<double>> sets = {
    {1.4898781844154607, 0.34396856507397067, 0.021418765489097494, 0.15604729871436027,
     1.2167715791959186, 0.0, 1.1327520105134743, 0.2245178233637338, 1.3285837871943693},
    {1.5129422096372658, 0.35137742864961496, 0.03167571412137506, 0.26024852226096834,
     2.0227219752967343, 0.0, 1.585575205977755, 0.21154775039617343, 1.8349071296607558},
    {1.4561438643844544, 0.3294055610276803, 0.020043911307373864, 0.16949764519399557,
     1.276214102572445, 0.0, 1.2355461360263416, 0.22468358679511216, 1.403344588095303},
};

struct Result {
    std::optional<fakehost::HostError> error;
    std::array<mxArray*, 2> outputs{nullptr, nullptr};
};

class GatewayTest : public ::testing::Test {
protected:
    TempDir dir;
    Evaluator evaluator{dir.path()};

    void SetUp() override {
        fakehost::reset();
        fs::copy(exampleData / "vornevResult", dir.path() / "vornevResult", fs::copy_options::recursive);
    }
    void TearDown() override { fakehost::reset(); }

    Result run(std::vector<const mxArray*> inputs, int nlhs = 2) {
        Result r;
        try {
            calvenor::gateway::call(evaluator, nlhs, r.outputs.data(), static_cast<int>(inputs.size()),
                                    inputs.data());
        } catch (const fakehost::HostError& e) {
            r.error = e;
        }
        return r;
    }

    // The error value and diagnostics of one call made directly on an
    // evaluator of the same folder.
    static std::pair<double, calvenor::HostDiagnostics> direct(Evaluator& e, const std::vector<double>& p,
                                                     const std::vector<double>& s) {
        const double value = evaluateObjective(e, p, s);
        return {value, e.diagnostics().hostOrder()};
    }
};

mxArray* row(const std::vector<double>& v) { return fakehost::doubleArray({1, v.size()}, v); }

void expectSameValues(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_TRUE(sameDouble(actual[i], expected[i])) << "element " << i << ": " << actual[i]
                                                        << " != " << expected[i];
    }
}

TEST_F(GatewayTest, WrongInputCountRaisesInputTooBigAndDoesNothingElse) {
#if defined(CALVENOR_GBK_MESSAGES)
    const std::string expected =
        "\xCA\xE4\xC8\xEB\xB2\xCE\xCA\xFD\xB8\xF6\xCA\xFD\xB1\xD8\xD0\xEB\xCE\xAA\x32\xB8\xF6\x2C"
        "\xB5\xDA\xD2\xBB\xB8\xF6\xCE\xAA\xB1\xBE\xB9\xB9\xB2\xCE\xCA\xFD\xCF\xF2\xC1\xBF\xA3\xAC"
        "\xB5\xDA\xB6\xFE\xB8\xF6\xCE\xAA\xCA\xC7\xB7\xF1\xCA\xE4\xB3\xF6\xC0\xED\xC2\xDB\xD6\xB5"
        "\xBF\xAA\xB9\xD8";
    EXPECT_EQ(expected.size(), 70u);
#else
    const std::string expected = "输入参数个数必须为2个,第一个为本构参数向量，第二个为是否输出理论值开关";
#endif
    const mxArray* p = row(sets[0]);
    const mxArray* s = row({0, 0, 0});
    for (const auto& inputs : std::vector<std::vector<const mxArray*>>{{}, {p}, {p, s, s}}) {
        const Result r = run(inputs);
        ASSERT_TRUE(r.error) << inputs.size() << " inputs";
        EXPECT_EQ(r.error->id, "MATLAB:InputTooBig");
        EXPECT_EQ(r.error->message, expected);
        EXPECT_EQ(r.outputs[0], nullptr);
        EXPECT_EQ(r.outputs[1], nullptr);
    }
    EXPECT_EQ(fakehost::createdCount(), 0);
    EXPECT_TRUE(evaluator.loadFlags().firstLoadPending);
}

TEST_F(GatewayTest, BadInputsAreRejectedBeforeAnythingIsEvaluated) {
    struct Case {
        const char* label;
        const mxArray* parameters;
        const mxArray* switches;
        const char* expected;  // part of the message
    };
    const mxArray* goodP = row(sets[0]);
    const mxArray* goodS = row({0, 0, 0});
    const Case cases[] = {
        {"single parameters", fakehost::otherArray("single", {1, 9}), goodS,
         "input 1 (parameters) must be a real, full, two-dimensional double array; got a single array"},
        {"logical switches", goodP, fakehost::otherArray("logical", {1, 3}),
         "input 2 (switches) must be a real, full, two-dimensional double array; got a logical array"},
        {"complex parameters", fakehost::otherArray("double", {1, 9}, true), goodS, "got a complex array"},
        {"sparse switches", goodP, fakehost::otherArray("double", {1, 3}, false, true), "got a sparse array"},
        {"3-D parameters", fakehost::doubleArray({1, 9, 2}), goodS, "got an array of 3 dimensions"},
        {"8 parameters", row({1, 2, 3, 4, 5, 6, 7, 8}), goodS, "input 1 (parameters) must be a vector of at least 9"},
        {"empty parameters", fakehost::doubleArray({0, 0}), goodS, "got a 0x0 array"},
        {"rows of 8 parameters", fakehost::doubleArray({3, 8}), goodS, "got a 3x8 array"},
        {"2 switches", goodP, row({0, 0}), "input 2 (switches) must be a vector of at least 3 values"},
        {"switch matrix", goodP, fakehost::doubleArray({2, 3}), "got a 2x3 array"},
    };
    for (const Case& c : cases) {
        const Result r = run({c.parameters, c.switches});
        ASSERT_TRUE(r.error) << c.label;
        EXPECT_EQ(r.error->id, "Calvenor:badInput") << c.label;
        EXPECT_NE(r.error->message.find(c.expected), std::string::npos) << c.label << ": " << r.error->message;
    }
    EXPECT_EQ(fakehost::createdCount(), 0);
    EXPECT_TRUE(evaluator.loadFlags().firstLoadPending);
    EXPECT_EQ(evaluator.store().nTests, 0);
}

TEST_F(GatewayTest, OneSetGivesOneByOneAndOneByElevenLikeADirectCall) {
    Evaluator reference{dir.path()};
    const auto [value, diagnostics] = direct(reference, sets[0], {1, 0, 0});

    std::vector<double> longer = sets[0];
    longer.insert(longer.end(), {7.0, 8.0, 9.0});  // values after the ninth are not read
    const mxArray* shapes[] = {row(sets[0]), fakehost::doubleArray({9, 1}, sets[0]), row(longer)};
    for (const mxArray* p : shapes) {
        // A column of switches, with NaN-free extra elements, is as good as a row.
        const Result r = run({p, fakehost::doubleArray({4, 1}, {1, 0, 0, 5})});
        ASSERT_FALSE(r.error) << r.error->message;
        EXPECT_EQ(fakehost::dimensions(r.outputs[0]), (std::vector<std::size_t>{1, 1}));
        EXPECT_EQ(fakehost::dimensions(r.outputs[1]), (std::vector<std::size_t>{1, 11}));
        expectSameValues(fakehost::values(r.outputs[0]), {value});
        expectSameValues(fakehost::values(r.outputs[1]), {diagnostics.begin(), diagnostics.end()});
    }

    // One requested output (or none): only the first is created.
    for (int nlhs : {0, 1}) {
        const Result r = run({row(sets[0]), row({1, 0, 0})}, nlhs);
        ASSERT_FALSE(r.error);
        expectSameValues(fakehost::values(r.outputs[0]), {value});
        EXPECT_EQ(r.outputs[1], nullptr);
    }
}

TEST_F(GatewayTest, RowsOfAMatrixAreEvaluatedAsConsecutiveCalls) {
    const std::size_t k = sets.size();
    // Column-major: element (row, j) at row + j * k; three extra columns ignored.
    std::vector<double> data(k * 12, 99.0);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t j = 0; j < 9; ++j) data[r + j * k] = sets[r][j];
    }
    const Result r = run({fakehost::doubleArray({k, 12}, data), row({1, 0, 0})});
    ASSERT_FALSE(r.error) << r.error->message;
    ASSERT_EQ(fakehost::dimensions(r.outputs[0]), (std::vector<std::size_t>{k, 1}));
    ASSERT_EQ(fakehost::dimensions(r.outputs[1]), (std::vector<std::size_t>{k, 11}));

    Evaluator reference{dir.path()};
    std::vector<double> errors, diagnostics(k * 11);
    for (std::size_t i = 0; i < k; ++i) {
        const auto [value, d] = direct(reference, sets[i], {1, 0, 0});
        errors.push_back(value);
        for (std::size_t j = 0; j < 11; ++j) diagnostics[i + j * k] = d[j];
    }
    expectSameValues(fakehost::values(r.outputs[0]), errors);
    expectSameValues(fakehost::values(r.outputs[1]), diagnostics);
    EXPECT_NE(errors[0], errors[1]);

    // The module's state afterwards is that of the last of those calls.
    const Result again = run({row(sets[2]), row({1, 0, 0})});
    expectSameValues(fakehost::values(again.outputs[0]), {errors[2]});
}

TEST_F(GatewayTest, LoadFailureIsRaisedAndTheNextCallRecovers) {
    const fs::path data = dir.path() / "vornevResult/data/T3.txt";
    const fs::path aside = dir.path() / "T3.txt";
    fs::rename(data, aside);
    const Result failed = run({row(sets[0]), row({0, 0, 0})});
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->id, "Calvenor:loadFailed");
    EXPECT_NE(failed.error->message.find("T3.txt"), std::string::npos) << failed.error->message;
    EXPECT_EQ(evaluator.store().nTests, 0);

    fs::rename(aside, data);
    const Result recovered = run({row(sets[0]), row({0, 0, 0})});
    ASSERT_FALSE(recovered.error) << recovered.error->message;
    Evaluator reference{dir.path()};
    expectSameValues(fakehost::values(recovered.outputs[0]), {direct(reference, sets[0], {0, 0, 0}).first});
}

TEST_F(GatewayTest, ReportThatCannotBeWrittenWarnsAndTheResultsStillCome) {
    Evaluator reference{dir.path()};
    const double expected = direct(reference, sets[0], {0, 0, 0}).first;
    // A folder where the error report should go.
    fs::create_directory(dir.path() / "vornevResult/VORNevPicOutError.DAT");

    const Result r = run({row(sets[0]), row({0, 1, 0})});
    ASSERT_FALSE(r.error) << r.error->message;
    expectSameValues(fakehost::values(r.outputs[0]), {expected});
    ASSERT_EQ(fakehost::warnings().size(), 1u);
    EXPECT_EQ(fakehost::warnings()[0].id, "Calvenor:reportFailed");
    EXPECT_NE(fakehost::warnings()[0].message.find("VORNevPicOutError.DAT"), std::string::npos);
    // The other reports were written.
    EXPECT_TRUE(fs::exists(dir.path() / "vornevResult/MidPande.DAT"));

    // The batch path warns the same way.
    fakehost::reset();
    std::vector<double> data(2 * 9);
    for (std::size_t j = 0; j < 9; ++j) data[0 + j * 2] = data[1 + j * 2] = sets[0][j];
    const Result batch = run({fakehost::doubleArray({2, 9}, data), row({0, 1, 0})});
    ASSERT_FALSE(batch.error);
    EXPECT_EQ(fakehost::warnings().size(), 1u);
}

TEST_F(GatewayTest, DataWarningsComeOnceAndABadThreadSettingIsAnError) {
    // A data line with a value more than a row reads: warned on the load,
    // not again when the same files are reloaded.
    const fs::path data = dir.path() / "vornevResult/data/T1.txt";
    std::string text = calvenor::testing::readAll(data);
    text.insert(text.find('\n', 1), " 7");  // at the end of line 2, the first row
    std::ofstream(data, std::ios::binary | std::ios::trunc) << text;
    Evaluator reference{dir.path()};
    const Result r = run({row(sets[0]), row({0, 0, 0})});
    ASSERT_FALSE(r.error) << r.error->message;
    expectSameValues(fakehost::values(r.outputs[0]), {direct(reference, sets[0], {0, 0, 0}).first});
    ASSERT_EQ(fakehost::warnings().size(), 1u);
    EXPECT_EQ(fakehost::warnings()[0].id, "Calvenor:dataWarning");
    EXPECT_EQ(fakehost::warnings()[0].message,
              (dir.path() / "vornevResult/data/T1.txt").string() +
                  ":2: 6 values on the line, where a data row has 5: the first 5 are read and the rest ignored; a "
                  "comma separates values, so decimals need a point (0.01, not 0,01)");
    fakehost::reset();
    ASSERT_FALSE(run({row(sets[0]), row({0, 0, 1})}).error);
    EXPECT_TRUE(fakehost::warnings().empty());

    // The module's state is not made with a malformed thread count.
    fakehost::clearModule();
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    setenv("CALVENOR_THREADS", "four", 1);
    mxArray* outputs[2] = {nullptr, nullptr};
    const mxArray* inputs[2] = {row(sets[0]), row({0, 0, 0})};
    EXPECT_THROW(mexFunction(2, outputs, 2, inputs), fakehost::HostError);
    unsetenv("CALVENOR_THREADS");
    fs::current_path(previous);
    EXPECT_STREQ(fakehost::lastErrorId(), "Calvenor:badEnvironment");
    EXPECT_STREQ(fakehost::lastErrorMessage(),
                 "CALVENOR_THREADS: expected a whole number of threads from 1 to 1024, found 'four'");
}

// Runs one call whose host error jumps back here instead of returning, then
// releases the outputs as the host would. Returns the change in live
// allocations over the call.
long allocationsLeftBy(Evaluator& evaluator, std::vector<const mxArray*> inputs) {
    static std::jmp_buf target;
    static mxArray* outputs[2];
    fakehost::setErrorMode(fakehost::ErrorMode::longJump, &target);
    const long before = liveAllocations.load();
    const int raised = fakehost::errorCount();
    if (setjmp(target) == 0) {
        calvenor::gateway::call(evaluator, 2, outputs, static_cast<int>(inputs.size()), inputs.data());
    }
    fakehost::setErrorMode(fakehost::ErrorMode::throwError);
    fakehost::releaseCreated();
    EXPECT_EQ(fakehost::errorCount(), raised + 1) << "the call raised no error";
    return liveAllocations.load() - before;
}

TEST_F(GatewayTest, HostErrorsThatDoNotReturnLeakNothing) {
    const std::vector<const mxArray*> good = {row(sets[0]), row({0, 0, 0})};
    const std::vector<const mxArray*> bad = {row({1, 2, 3}), row({0, 0, 0})};
    EXPECT_EQ(allocationsLeftBy(evaluator, {good[0]}), 0);
    EXPECT_EQ(allocationsLeftBy(evaluator, bad), 0);
    EXPECT_STREQ(fakehost::lastErrorId(), "Calvenor:badInput");

    fs::remove(dir.path() / "vornevResult/data/T5.txt");
    allocationsLeftBy(evaluator, good);  // the first failed load releases the empty store's room
    EXPECT_EQ(allocationsLeftBy(evaluator, good), 0);
    EXPECT_STREQ(fakehost::lastErrorId(), "Calvenor:loadFailed");
}

TEST_F(GatewayTest, EntryPointKeepsItsStateUntilTheHostClearsTheModule) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    auto callEntry = [](const std::vector<double>& switches) {
        mxArray* outputs[2] = {nullptr, nullptr};
        const mxArray* inputs[2] = {row(sets[0]), row(switches)};
        mexFunction(2, outputs, 2, inputs);
        return fakehost::values(outputs[0]).at(0);
    };
    const double first = callEntry({0, 0, 0});
    // Drop the last test from the working list: the loaded store goes on.
    {
        std::ofstream list("vornevResult/evReadInList.txt", std::ios::trunc);
        list << "vornevResult\\data\\T1.txt 3 269.2 0.3108\n";
    }
    EXPECT_TRUE(sameDouble(callEntry({0, 0, 0}), first));
    fakehost::clearModule();
    const double afterClear = callEntry({0, 0, 0});
    EXPECT_FALSE(sameDouble(afterClear, first));
    Evaluator reference{dir.path()};
    EXPECT_TRUE(sameDouble(afterClear, direct(reference, sets[0], {0, 0, 0}).first));
    fakehost::clearModule();
    fs::current_path(previous);
}

}  // namespace
