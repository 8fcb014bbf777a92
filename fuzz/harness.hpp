// What the fuzz targets do with one input, shared by the libFuzzer entry
// points (fuzz/*_fuzzer.cpp) and the replay of saved inputs in the unit tests
// (tests/testdata/fuzz_regressions_test.cpp).
//
// Each case returns an empty string when the input was handled soundly (read,
// or rejected with a LoadError), or a description of what went wrong. An
// input that crashes, hangs or leaks is caught by the sanitizers instead.
//
// Input formats:
// - free form: text, with the last byte giving a count of operation bytes
//   taken from just before it (each byte picks one reader operation).
// - test list: the text of the working list. The host folder holds data files
//   under the names the bundled examples and the reference sets use.
// - load: the working list, then any number of files, each introduced by a
//   line "@@@ NAME" (NAME relative to the host folder, '/' separators). The
//   section named ":params" holds the nine parameters the evaluation uses.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "objective/objective.hpp"
#include "testdata/free_form.hpp"
#include "testdata/test_store.hpp"

namespace calvenor::fuzzing {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- checks ---

// A message handed to the user: not empty, bounded, no control characters.
inline std::string checkMessage(std::string_view what, std::string_view message) {
    if (message.empty()) return std::string(what) + ": empty message";
    if (message.size() > 6000)
        return std::string(what) + ": message of " + std::to_string(message.size()) + " bytes";
    for (const char ch : message) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return std::string(what) + ": control character " + std::to_string(c) +
                   " in message: " + std::string(message.substr(0, 200));
    }
    return {};
}

// A load failure names a file, then (for a content error) the 1-based line
// and what was expected.
inline std::string checkLoadError(const LoadError& e) {
    const std::string_view m = e.what();
    if (auto bad = checkMessage("LoadError", m); !bad.empty()) return bad;
    for (const std::string_view tail :
         {": cannot open: ", ": cannot read: ", ": no data rows", ": too many records (",
          ": out of memory while loading the tests"}) {
        const std::size_t at = m.find(tail);
        if (at != std::string_view::npos && at > 0) return {};
    }
    // FILE:LINE: expected WHAT, found WHAT (the file name may hold colons).
    for (std::size_t at = m.find(':'); at != std::string_view::npos; at = m.find(':', at + 1)) {
        std::size_t p = at + 1;
        if (at == 0 || p >= m.size() || m[p] < '1' || m[p] > '9') continue;
        while (p < m.size() && m[p] >= '0' && m[p] <= '9') ++p;
        if (m.substr(p, 11) == ": expected " && m.find(", found ", p) != std::string_view::npos)
            return {};
    }
    return "LoadError of unexpected shape: " + std::string(m.substr(0, 300));
}

inline bool sameBits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// --------------------------------------------------------------- free form ---

// Whether text is a plain decimal number: sign, digits with an optional
// point, optional exponent with the letter e or E.
inline bool plainDecimal(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t expDigits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    return i == t.size();
}

// parseReal against strtod for plain decimal numbers, which both must read to
// the same double.
inline std::string checkParseReal(std::string_view token) {
    const auto parsed = freeform::parseReal(token);
    if (!plainDecimal(token)) return {};
    const std::string text(token);
    if (!parsed) return "parseReal rejects the number '" + text.substr(0, 200) + "'";
    const double expected = std::strtod(text.c_str(), nullptr);
    if (!sameBits(*parsed, expected))
        return "parseReal('" + text.substr(0, 200) + "') differs from strtod";
    return {};
}

inline std::string freeFormCase(const std::uint8_t* data, std::size_t size) {
    std::size_t opCount = size > 0 ? data[size - 1] % 16 : 0;
    opCount = std::min(opCount, size > 0 ? size - 1 : 0);
    const std::size_t textSize = size == 0 ? 0 : size - 1 - opCount;
    const std::string_view text(reinterpret_cast<const char*>(data), textSize);
    const std::uint8_t* ops = data + textSize;

    const auto lines = static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    freeform::Reader reader(text);
    const auto checkError = [&](const freeform::ReadError& e) -> std::string {
        if (e.line() < 1 || e.line() > lines)
            return "ReadError on line " + std::to_string(e.line()) + " of " + std::to_string(lines);
        return checkMessage("ReadError", e.found());
    };

    // Counting: at most one record a line, the reader left rewound.
    const freeform::RecordCount count = reader.countRecords();
    if (count.records < 0 || count.records > lines || count.stopLine < 0 || count.stopLine > lines)
        return "record count " + std::to_string(count.records) + " (stop " +
               std::to_string(count.stopLine) + ") for " + std::to_string(lines) + " lines";
    if (reader.line() != 1) return "countRecords left the reader on line " + std::to_string(reader.line());

    for (std::size_t i = 0; i < opCount; ++i) {
        const std::uint8_t op = ops[i];
        const bool continueOnNextLines = (op & 8) != 0;
        try {
            switch (op % 8) {
                case 0: reader.beginRead(); break;
                case 1: reader.moreOnLine(); break;
                case 2: {
                    const std::size_t maxLength = (op >> 4) * 70u + 1u;
                    if (reader.readName(maxLength, continueOnNextLines).size() > maxLength)
                        return "readName longer than its limit";
                    break;
                }
                case 3: reader.readReal(continueOnNextLines); break;
                case 4: reader.readInteger(continueOnNextLines); break;
                case 5: reader.rewind(); break;
                case 6:
                    if (reader.countRecords().records != count.records)
                        return "countRecords differs on a second count";
                    break;
                default:
                    if (reader.line() < 1 || reader.line() > lines) return "reader off the text";
                    break;
            }
        } catch (const freeform::ReadError& e) {
            if (auto bad = checkError(e); !bad.empty()) return bad;
        }
    }

    // Every record read as five numbers, the way data files are read.
    reader.rewind();
    for (std::int64_t r = 0; reader.beginRead(); ++r) {
        if (r > lines) return "more reads than lines";
        for (int c = 0; c < 5 && reader.moreOnLine(); ++c) {
            try {
                reader.readReal(false);
            } catch (const freeform::ReadError& e) {
                if (auto bad = checkError(e); !bad.empty()) return bad;
                break;
            }
        }
    }

    // Number parsing: each blank-separated token, and the whole text.
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of(" \t\r\n,", start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > start) {
            if (auto bad = checkParseReal(text.substr(start, stop - start)); !bad.empty()) return bad;
            std::int32_t value = 0;
            freeform::parseInt32(text.substr(start, stop - start), value);
        }
        start = stop + 1;
    }
    freeform::parseReal(text);
    if (auto bad = checkMessage("quoteForMessage", freeform::quoteForMessage(text)); !bad.empty())
        return bad;
    if (freeform::quoteForMessage(text).size() > 40 * 4 + 40) return "quoteForMessage too long";
    return {};
}

// ------------------------------------------------------------ host folder ---

// A fresh folder of this process for the host's files, removed at exit.
class ProcessFolder {
public:
    // Under CALVENOR_FUZZ_TMP when set (the fuzz script removes that folder:
    // libFuzzer may end the process without running destructors), else in
    // /dev/shm or the temporary folder.
    explicit ProcessFolder(const std::string& purpose) {
        std::error_code ec;
        const char* chosen = std::getenv("CALVENOR_FUZZ_TMP");
        const fs::path base = chosen != nullptr && *chosen != '\0' ? fs::path(chosen)
                              : fs::is_directory("/dev/shm", ec)  ? fs::path("/dev/shm")
                                                                   : fs::temp_directory_path();
        path_ = base / ("calvenor-fuzz-" + purpose + "-" + std::to_string(::getpid()));
        fs::remove_all(path_, ec);
        fs::create_directories(path_);
    }
    ~ProcessFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ProcessFolder(const ProcessFolder&) = delete;
    ProcessFolder& operator=(const ProcessFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A name that stays inside the host folder: relative, no "..", no NUL.
inline bool staysInside(std::string_view name) {
    std::string mapped(name);
    std::replace(mapped.begin(), mapped.end(), '\\', '/');
    if (mapped.empty() || mapped.front() == '/' || mapped.find('\0') != std::string::npos)
        return false;
    return mapped.find("..") == std::string::npos;
}

// Whether every data file name the list holds stays inside the host folder.
// The names are read exactly as the loader reads them, and the loader stops
// at the first record that cannot be read, before it opens any data file.
inline bool listStaysInside(std::string_view text) {
    freeform::Reader reader(text);
    while (reader.beginRead()) {
        if (!reader.moreOnLine()) return true;
        try {
            std::string name = reader.readName(1001, false);
            if (name.size() > 1000) name.resize(1000);
            while (!name.empty() && name.back() == ' ') name.pop_back();
            if (!name.empty() && !staysInside(name)) return false;
        } catch (const freeform::ReadError&) {
            return true;
        }
    }
    return true;
}

inline void writeFile(const fs::path& file, std::string_view text) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Structure of a loaded store.
inline std::string checkStore(const TestStore& s) {
    const auto n = static_cast<std::size_t>(s.nTests);
    if (s.nTests < 0) return "negative test count";
    for (const std::size_t size :
         {s.testFile.size(), s.curveFile.size(), s.rowCount.size(), s.testType.size(),
          s.pInitial.size(), s.eInitial.size(), s.pConsol.size(), s.strainRange.size(),
          s.qScale.size(), s.pScale.size(), s.evScale.size(), s.uScale.size()})
        if (size != n) return "a per-test field does not hold nTests entries";
    std::int32_t maxRows = 0;
    for (std::size_t t = 0; t < n; ++t) {
        if (s.testFile[t].empty() || s.testFile[t].size() > 1000) return "bad testFile length";
        if (s.curveFile[t] != deriveCurveFile(s.testFile[t], s.testType[t]))
            return "curveFile not derived from its list record";
        if (s.rowCount[t] < 1) return "a stored test without rows";
        maxRows = std::max(maxRows, s.rowCount[t]);
        if (!sameBits(s.pConsol[t], s.measured(static_cast<int>(t), 0, pCol)))
            return "pConsol is not the first measured p";
    }
    if (maxRows != s.maxRows) return "maxRows is not the largest row count";
    if (s.measured.tests() != s.nTests || s.measured.rows() != s.maxRows ||
        s.simAtMeasured.tests() != s.nTests || s.simAtMeasured.rows() != s.maxRows ||
        s.simCurve.tests() != s.nTests || s.simCurve.rows() != pathPoints)
        return "array extents differ from the test and row counts";
    return {};
}

// -------------------------------------------------------------- test list ---

// Names under which the list fuzzer's host folder holds data files: those of
// the bundled examples and the reference sets, and a few short ones.
inline const std::vector<std::string>& listFuzzDataNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = {"vornevResult/CD100.txt", "vornevResult/CD200.txt",
                                      "vornevResult/CD300.txt", "vornevResult/T1.txt",
                                      "vornevResult/with blank.txt", "ab.c", "d.txt", "d",
                                      "vornevResult/A.txt", "vornevResult/B.txt",
                                      "vornevResult/C.txt", "vornevResult/U.txt",
                                      "vornevResult/V.txt", "vornevResult/W.txt"};
        for (int k = 1; k <= 9; ++k) {
            v.push_back("vornevResult/data/T" + std::to_string(k) + ".txt");
            v.push_back("vornevResult/data/test " + std::to_string(k) + ".txt");
        }
        return v;
    }();
    return names;
}

inline const fs::path& listFuzzFolder() {
    static const ProcessFolder folder("list");
    static const bool filled = [] {
        const fs::path& f = folder.path();
        const std::string rows =
            "0.0 0.0 100.0 0.0 0.0\n"
            "0.01,40.0,113.3,0.002,0.0\n"
            "\n"
            "2.0D-2 60.0 120.0 3.0e-3 0.0 7 8\n";
        for (const std::string& name : listFuzzDataNames()) writeFile(f / name, rows);
        // Something that is no data file: a folder, and an empty file.
        fs::create_directories(f / "vornevResult/folder.txt");
        writeFile(f / "vornevResult/empty.txt", "");
        return true;
    }();
    (void)filled;
    return folder.path();
}

inline std::string listCase(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!listStaysInside(text)) return {};
    const fs::path& host = listFuzzFolder();
    writeFile(host / "vornevResult/evReadInList.txt", text);
    try {
        const TestStore store = loadTestList(host, workingListName);
        return checkStore(store);
    } catch (const LoadError& e) {
        return checkLoadError(e);
    } catch (const std::exception& e) {
        return std::string("unexpected exception: ") + e.what();
    }
}

// ------------------------------------------------------------------ load ---

struct LoadInput {
    std::string_view list;
    std::vector<std::pair<std::string_view, std::string_view>> files;  // name, content
};

inline LoadInput splitLoadInput(std::string_view text) {
    static constexpr std::string_view marker = "\n@@@ ";
    LoadInput input;
    std::size_t cut = text.find(marker);
    input.list = text.substr(0, cut);
    while (cut != std::string_view::npos) {
        const std::size_t nameStart = cut + marker.size();
        const std::size_t nameEnd = std::min(text.find('\n', nameStart), text.size());
        const std::size_t next = text.find(marker, nameEnd);
        const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
        const std::size_t bodyStart = std::min(nameEnd + 1, text.size());
        const std::string_view body =
            next == std::string_view::npos ? text.substr(bodyStart)
                                           : text.substr(bodyStart, std::max(next, bodyStart) - bodyStart);
        input.files.emplace_back(name, body);
        cut = next;
    }
    return input;
}

struct CallResult {
    bool failed = false;
    std::string message;
    double error = 0.0;
    HostDiagnostics diagnostics{};
};

inline std::string loadCase(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const LoadInput input = splitLoadInput(text);
    if (!listStaysInside(input.list)) return {};

    static const ProcessFolder folder("load");
    const fs::path& host = folder.path();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(host, ec)) fs::remove_all(entry.path(), ec);

    // The parameters: the example's set unless the input gives its own.
    std::array<double, 9> parameters = {1.25, 0.3, 0.005, 0.03, 0.85, 0.0, 0.83, 0.5, 1.0};
    for (const auto& [name, body] : input.files) {
        if (name == ":params") {
            freeform::Reader reader(body);
            std::size_t k = 0;
            if (reader.beginRead()) {
                for (; k < parameters.size(); ++k) {
                    try {
                        parameters[k] = reader.readReal(true);
                    } catch (const freeform::ReadError&) {
                        break;
                    }
                }
            }
            continue;
        }
        if (name.size() > 200 || !staysInside(name)) continue;
        std::string mapped(name);
        std::replace(mapped.begin(), mapped.end(), '\\', '/');
        const fs::path file = host / mapped;
        fs::create_directories(file.parent_path(), ec);
        if (fs::is_directory(file, ec)) continue;
        writeFile(file, body);
    }
    writeFile(host / "vornevResult/evReadInList.txt", input.list);
    writeFile(host / "vornevResult/evReadInListZong.txt", input.list);

    const bool reports = size % 4 == 0;
    const auto call = [&](Evaluator& evaluator, double reportSwitch, double reloadSwitch,
                          CallResult& result) -> std::string {
        const std::array<double, 3> switches = {1.0, reportSwitch, reloadSwitch};
        try {
            result.error = evaluateObjective(evaluator, parameters, switches);
            result.diagnostics = evaluator.diagnostics().hostOrder();
            for (const std::string& w : evaluator.warnings())
                if (auto bad = checkMessage("warning", w); !bad.empty()) return bad;
            return checkStore(evaluator.store());
        } catch (const LoadError& e) {
            result.failed = true;
            result.message = e.what();
            if (evaluator.store().nTests != 0) return "a failed load left tests in the store";
            return checkLoadError(e);
        } catch (const std::exception& e) {
            return std::string("unexpected exception: ") + e.what();
        }
    };
    const auto same = [](const CallResult& a, const CallResult& b) {
        if (a.failed != b.failed) return false;
        if (a.failed) return true;
        if (!sameBits(a.error, b.error)) return false;
        for (int k = 0; k < diagnosticsCount; ++k)
            if (!sameBits(a.diagnostics[k], b.diagnostics[k])) return false;
        return true;
    };

    // First use, then a reload of the same tests: the same result.
    Evaluator sequential(host);
    sequential.setThreads(1);
    CallResult first, reloaded, parallel, reported;
    if (auto bad = call(sequential, 0.0, 0.0, first); !bad.empty()) return bad;
    if (auto bad = call(sequential, 0.0, 1.0, reloaded); !bad.empty()) return bad;
    if (!same(first, reloaded)) return "a reload of the same tests gives another result";

    // The tests simulated in parallel: the sequential result to the bit.
    Evaluator twoThreads(host);
    twoThreads.setThreads(2);
    if (auto bad = call(twoThreads, 0.0, 0.0, parallel); !bad.empty()) return bad;
    if (!same(first, parallel)) return "two threads give another result than one";
    if (first.failed && parallel.message != first.message)
        return "the same load fails with another message";

    // The reports last: their files may land on names the list reads.
    if (reports && !reloaded.failed) {
        if (auto bad = call(sequential, 1.0, 0.0, reported); !bad.empty()) return bad;
        if (!same(reloaded, reported)) return "writing the reports changes the result";
    }
    return {};
}

}  // namespace calvenor::fuzzing
