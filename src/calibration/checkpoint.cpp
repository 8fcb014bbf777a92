#include "calibration/checkpoint.hpp"

#include <set>

#include "calibration/calibration_error.hpp"
#include "io/sha256.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

namespace {

constexpr int checkpointFormat = 1;

Json numbers(const std::vector<double>& values) {
    Json a = Json::array();
    for (const double v : values) a.push_back(jsonNumber(v));
    return a;
}

std::vector<double> numbersFrom(const Json& a) {
    if (!a.is_array()) throw std::invalid_argument("expected an array of numbers");
    std::vector<double> values;
    values.reserve(a.size());
    for (const Json& v : a) values.push_back(numberFromJson(v));
    return values;
}

template <class T>
std::optional<T> optionalFrom(const Json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return std::nullopt;
    return j.at(key).get<T>();
}

}  // namespace

Json settingsJson(const CalibrationSettings& s) {
    Json j = Json::object();
    j["algorithm"] = s.algorithm;
    j["generations"] = s.generations ? Json(*s.generations) : Json(nullptr);
    j["population"] = s.population ? Json(*s.population) : Json(nullptr);
    j["maxEvaluations"] = s.maxEvaluations;
    j["seed"] = s.seed ? Json(*s.seed) : Json(nullptr);
    j["penalties"] = s.penalties;
    j["polish"] = s.polish;
    Json parameters = Json::object();
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& p = s.parameters[static_cast<std::size_t>(i)];
        parameters[std::string(parameterNames[static_cast<std::size_t>(i)])] = {
            {"start", jsonNumber(p.start)}, {"lower", jsonNumber(p.lower)}, {"upper", jsonNumber(p.upper)},
            {"fixed", p.fixed}};
    }
    j["parameters"] = parameters;
    return j;
}

CalibrationSettings settingsFromJson(const Json& j, const std::string& shown) {
    CalibrationSettings s;
    try {
        s.algorithm = j.at("algorithm").get<std::string>();
        s.generations = optionalFrom<std::int64_t>(j, "generations");
        s.population = optionalFrom<std::int64_t>(j, "population");
        s.maxEvaluations = j.at("maxEvaluations").get<std::int64_t>();
        s.seed = optionalFrom<std::uint32_t>(j, "seed");
        s.penalties = j.at("penalties").get<bool>();
        s.polish = j.at("polish").get<bool>();
        const Json& parameters = j.at("parameters");
        for (int i = 0; i < parameterCount; ++i) {
            const Json& p = parameters.at(std::string(parameterNames[static_cast<std::size_t>(i)]));
            s.parameters[static_cast<std::size_t>(i)] = {numberFromJson(p.at("start")), numberFromJson(p.at("lower")),
                                                         numberFromJson(p.at("upper")), p.at("fixed").get<bool>()};
        }
    } catch (const std::exception& e) {
        throw CalibrationError(shown + ": unreadable settings (" + e.what() + ")");
    }
    return s;
}

std::string checkpointText(const Checkpoint& c) {
    Json j = Json::object();
    j["checkpoint"] = checkpointFormat;
    j["program"] = c.program;
    j["settings"] = settingsJson(c.settings);
    Json files = Json::array();
    for (const FileChecksum& f : c.files) files.push_back({{"file", f.file}, {"sha256", f.sha256}});
    j["files"] = files;
    j["frontEnd"] = c.frontEnd;
    j["evaluations"] = c.record.errors.size();
    j["pointsDigest"] = c.record.pointsDigest;
    j["errors"] = numbers(c.record.errors);
    j["carried"] = numbers(c.record.carried);
    return prettyJson(j);
}

Checkpoint readCheckpoint(const std::string& text, const std::string& shown) {
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw CalibrationError(shown + ": not a checkpoint (" + std::string(e.what()) + ")");
    }
    if (!j.is_object() || !j.contains("checkpoint"))
        throw CalibrationError(shown + ": not a checkpoint (written by calvenor calibrate)");
    Checkpoint c;
    try {
        if (j.at("checkpoint").get<int>() != checkpointFormat)
            throw CalibrationError(shown + ": a checkpoint of another format (" + j.at("checkpoint").dump() + ")");
        c.program = j.at("program").get<std::string>();
        c.settings = settingsFromJson(j.at("settings"), shown);
        for (const Json& f : j.at("files")) c.files.push_back({f.at("file").get<std::string>(), f.at("sha256").get<std::string>()});
        c.frontEnd = j.at("frontEnd");
        c.record.pointsDigest = j.at("pointsDigest").get<std::string>();
        c.record.errors = numbersFrom(j.at("errors"));
        c.record.carried = numbersFrom(j.at("carried"));
        if (c.record.errors.size() != j.at("evaluations").get<std::size_t>())
            throw CalibrationError(shown + ": the checkpoint's evaluations and error values differ in number");
    } catch (const CalibrationError&) {
        throw;
    } catch (const std::exception& e) {
        throw CalibrationError(shown + ": unreadable checkpoint (" + e.what() + ")");
    }
    return c;
}

std::vector<FileChecksum> dataFileChecksums(const Evaluator& evaluator) {
    std::vector<FileChecksum> files;
    if (!evaluator.hostStyle()) return files;
    const std::filesystem::path& folder = evaluator.hostFolder();
    std::set<std::string> seen;
    const auto add = [&](std::string_view name) {
        // Named relative to the host folder, so that a record does not
        // depend on how the folder was given.
        const std::string relative = displayName({}, name);
        if (!seen.insert(relative).second) return;
        files.push_back({relative, fileSha256(hostPath(folder, name), displayName(folder, name))});
    };
    add(workingListName);
    for (const std::string& name : evaluator.store().testFile) add(name);
    return files;
}

}  // namespace calvenor
