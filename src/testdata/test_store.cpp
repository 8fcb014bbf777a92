#include "testdata/test_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

#include "io/files.hpp"
#include "io/text.hpp"
#include "io/numbers.hpp"
#include "testdata/data_checks.hpp"
#include "testdata/free_form.hpp"

namespace calvenor {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxNameLength = 1000;
// Room added to the largest measured strain: the single-precision 0.01.
constexpr double strainMargin = static_cast<double>(0.01f);

constexpr const char* columnNames[columnCount] = {"strain", "q", "p", "ev", "u"};

std::string mapSeparators(std::string_view name) {
    std::string mapped(name);
    std::replace(mapped.begin(), mapped.end(), '\\', '/');
    return mapped;
}

std::string_view trimTrailingBlanks(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

[[noreturn]] void failAt(const std::string& file, std::int64_t line, const std::string& expected,
                         const std::string& found) {
    throw LoadError(file + ":" + std::to_string(line) + ": expected " + expected + ", found " +
                    found);
}

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The whole content of a file.
std::string readWholeFile(const fs::path& path, const std::string& shown,
                          const std::string& note = {}) {
    if (path.native().find('\0') != std::string::npos)
        throw LoadError(shown + ": cannot open: the name holds a NUL character" + note);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status))
        throw LoadError(shown + ": cannot open: " + std::generic_category().message(EISDIR) + note);
    // A device or a pipe could be read (or waited on) for ever: only regular
    // files hold tests.
    if (fs::exists(status) && !fs::is_regular_file(status))
        throw LoadError(shown + ": cannot open: not a regular file" + note);
    errno = 0;
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        const int err = errno;
        throw LoadError(shown + ": cannot open: " +
                        (err != 0 ? std::generic_category().message(err) : "unknown reason") +
                        note);
    }
    std::string text;
    const auto size = fs::file_size(path, ec);
    if (!ec && size < (std::uintmax_t{1} << 40)) text.reserve(static_cast<std::size_t>(size));
    constexpr std::size_t chunk = std::size_t{1} << 20;
    const std::unique_ptr<char[]> buffer(new char[chunk]);  // not zero-filled
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, chunk, file.get());
        text.append(buffer.get(), got);
        if (got < chunk) break;
    }
    if (std::ferror(file.get())) {
        const int err = errno;
        throw LoadError(shown + ": cannot read: " +
                        (err != 0 ? std::generic_category().message(err) : "read error"));
    }
    return text;
}

// Counts the records of a file's text. A stop before the end of the text
// (a line whose first value cannot be read) is not taken as the end of the
// file: the caller reads that line too, so that it is reported.
struct RecordsToRead {
    std::int32_t counted = 0;
    std::int64_t stopLine = 0;
    std::int64_t toRead() const { return counted + (stopLine != 0 ? 1 : 0); }
};

RecordsToRead countRecords(freeform::Reader& reader, const std::string& shown) {
    const freeform::RecordCount count = reader.countRecords();
    if (count.records > std::numeric_limits<std::int32_t>::max())
        throw LoadError(shown + ": too many records (more than 2147483647)");
    return {static_cast<std::int32_t>(count.records), count.stopLine};
}

void checkStopLine(const RecordsToRead& records, const std::string& shown) {
    if (records.stopLine != 0)
        failAt(shown, records.stopLine, "a record", "text that cannot be read");
}

// Whether tests x rows x 5 doubles can be addressed at all.
bool arrayFits(std::int64_t tests, std::int64_t rows) {
    if (tests == 0 || rows == 0) return true;
    const std::uint64_t limit =
        std::numeric_limits<std::size_t>::max() / sizeof(double) / columnCount;
    return static_cast<std::uint64_t>(tests) <= limit / static_cast<std::uint64_t>(rows);
}

// A UTF-8 byte-order mark (spreadsheet "CSV UTF-8" exports) is not text.
std::string_view withoutByteOrderMark(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    return text;
}

// The lines of one file that hold more values than its records read: one
// warning per file, at the first such line.
struct ExtraValues {
    std::int64_t firstLine = 0;
    std::int64_t firstCount = 0;
    std::int64_t lines = 0;

    void note(std::int64_t line, std::int64_t extra, int used) {
        if (extra <= 0) return;
        if (lines++ == 0) {
            firstLine = line;
            firstCount = used + extra;
        }
    }
    void warn(const std::string& shown, int used, const char* record, std::vector<std::string>& to) const {
        if (lines == 0) return;
        std::string m = shown + ":" + std::to_string(firstLine) + ": " + std::to_string(firstCount) +
                        " values on the line, where a " + record + " has " + std::to_string(used) +
                        ": the first " + std::to_string(used) + " are read and the rest ignored";
        if (lines > 1)
            m += " (likewise on " + std::to_string(lines - 1) + " more line" + (lines > 2 ? "s" : "") + ")";
        m += "; a comma separates values, so decimals need a point (0.01, not 0,01)";
        to.push_back(std::move(m));
    }
};

struct ListRecord {
    std::string testFile;
    bool nameCut = false;
    std::int32_t testType = 0;
    double pInitial = 0.0;
    double eInitial = 0.0;
    std::int64_t extraValues = 0;  // values after the four fields
};

ListRecord readListRecord(freeform::Reader& reader, const std::string& shown) {
    constexpr int fields = 4;
    ListRecord record;
    const std::int64_t line = reader.line();
    int field = 0;
    const auto nextField = [&](const char* what) {
        if (!reader.moreOnLine())
            failAt(shown, line, std::to_string(fields) + " fields", std::to_string(field));
        ++field;
        return std::string(what) + " in field " + std::to_string(field);
    };
    std::string expected;
    try {
        expected = nextField("the data file name");
        std::string name = reader.readName(maxNameLength + 1, false);
        if (name.size() > maxNameLength) {
            name.resize(maxNameLength);
            record.nameCut = true;
        }
        name.resize(trimTrailingBlanks(name).size());
        if (name.empty()) failAt(shown, line, expected, "an empty name");
        record.testFile = std::move(name);
        expected = nextField("an integer type code");
        record.testType = reader.readInteger(false);
        expected = nextField("a number for pInitial");
        record.pInitial = reader.readReal(false);
        expected = nextField("a number for eInitial");
        record.eInitial = reader.readReal(false);
    } catch (const freeform::ReadError& e) {
        failAt(shown, e.line(), expected, e.found());
    }
    record.extraValues = reader.skipRestOfLine();
    return record;
}

// Reads the data records of one test, row after row, columns side by side;
// the line of each row goes to `lines`.
std::vector<MeasuredRow> readDataRecords(freeform::Reader& reader, const RecordsToRead& records,
                                         const std::string& shown, std::vector<std::int64_t>& lines,
                                         ExtraValues& extra) {
    std::vector<MeasuredRow> rows;
    rows.reserve(static_cast<std::size_t>(records.counted));
    lines.reserve(static_cast<std::size_t>(records.counted));
    for (std::int64_t r = 0; r < records.toRead(); ++r) {
        reader.beginRead();
        const std::int64_t line = reader.line();
        MeasuredRow row{};
        for (int c = 0; c < columnCount; ++c) {
            if (!reader.moreOnLine())
                failAt(shown, line, std::to_string(columnCount) + " numbers", std::to_string(c));
            try {
                row[c] = reader.readReal(false);
            } catch (const freeform::ReadError& e) {
                failAt(shown, e.line(),
                       std::string("a number for ") + columnNames[c] + " in column " +
                           std::to_string(c + 1),
                       e.found());
            }
        }
        if (r < records.counted) {
            rows.push_back(row);
            lines.push_back(line);
            extra.note(line, reader.skipRestOfLine(), columnCount);
        }
    }
    checkStopLine(records, shown);
    return rows;
}

// Largest magnitude of a column, NaN passed over; minus infinity when every
// value is NaN.
double largestMagnitude(std::span<const double> values) {
    double largest = -std::numeric_limits<double>::infinity();
    for (const double v : values) {
        const double a = std::fabs(v);
        if (a > largest) largest = a;
    }
    return largest;
}

// The tests of a list as read, where each was read from, and what the
// reading noticed.
struct ListContent {
    std::vector<LabTest> tests;
    std::vector<TestSource> sources;
    std::vector<std::string> warnings;
};

ListContent readList(const fs::path& hostFolder, std::string_view listName, const std::string& listShown) {
    ListContent content;
    std::vector<LabTest>& tests = content.tests;
    std::vector<bool> nameCut;
    {
        const std::string text = readWholeFile(hostPath(hostFolder, listName), listShown);
        freeform::Reader reader(withoutByteOrderMark(text));
        const RecordsToRead records = countRecords(reader, listShown);
        tests.reserve(static_cast<std::size_t>(records.counted));
        ExtraValues extra;
        for (std::int64_t t = 0; t < records.toRead(); ++t) {
            reader.beginRead();
            const std::int64_t line = reader.line();
            ListRecord record = readListRecord(reader, listShown);
            if (t >= records.counted) break;
            LabTest& test = tests.emplace_back();
            test.name = std::move(record.testFile);
            test.type = record.testType;
            test.pInitial = record.pInitial;
            test.eInitial = record.eInitial;
            nameCut.push_back(record.nameCut);
            content.sources.push_back({listShown, line, {}, {}});
            extra.note(line, record.extraValues, 4);
        }
        checkStopLine(records, listShown);
        extra.warn(listShown, 4, "list record", content.warnings);
    }

    for (std::size_t t = 0; t < tests.size(); ++t) {
        const std::string shown = displayName(hostFolder, tests[t].name);
        const std::string text =
            readWholeFile(hostPath(hostFolder, tests[t].name), shown,
                          nameCut[t] ? " (the name in the list is longer than 1000 characters "
                                       "and was cut)"
                                     : "");
        freeform::Reader reader(withoutByteOrderMark(text));
        const RecordsToRead records = countRecords(reader, shown);
        if (records.toRead() == 0) throw LoadError(shown + ": no data rows");
        TestSource& source = content.sources[t];
        source.file = shown;
        ExtraValues extra;
        tests[t].rows = readDataRecords(reader, records, shown, source.rowLines, extra);
        extra.warn(shown, columnCount, "data row", content.warnings);
    }
    return content;
}

void addWarnings(std::vector<std::string>* to, std::vector<std::string> from) {
    if (to != nullptr) to->insert(to->end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

TestStore buildStore(std::vector<LabTest> tests) {
    if (tests.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw std::bad_alloc();
    TestStore store;
    const auto n = tests.size();
    store.nTests = static_cast<std::int32_t>(n);
    for (const LabTest& test : tests) {
        if (test.rows.empty()) throw LoadError(displayName({}, test.name) + ": no data rows");
        if (test.rows.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw std::bad_alloc();
        store.maxRows = std::max(store.maxRows, static_cast<std::int32_t>(test.rows.size()));
    }
    if (!arrayFits(store.nTests, store.maxRows) || !arrayFits(store.nTests, pathPoints))
        throw std::bad_alloc();
    store.testFile.reserve(n);
    store.curveFile.reserve(n);
    store.rowCount.reserve(n);
    store.testType.reserve(n);
    store.pInitial.reserve(n);
    store.eInitial.reserve(n);
    store.measured = Array3(store.nTests, store.maxRows, 0.0);
    store.simAtMeasured = Array3(store.nTests, store.maxRows, 0.0);
    store.simCurve = Array3(store.nTests, pathPoints, 0.0);
    store.pConsol.assign(n, 0.0);
    store.eConsol.assign(n, 0.0);
    store.strainRange.assign(n, 0.0);
    store.qScale.assign(n, 0.0);
    store.pScale.assign(n, 0.0);
    store.evScale.assign(n, 0.0);
    store.uScale.assign(n, 0.0);

    for (std::size_t t = 0; t < n; ++t) {
        LabTest& test = tests[t];
        const int ti = static_cast<int>(t);
        store.curveFile.push_back(deriveCurveFile(test.name, test.type));
        store.testFile.push_back(std::move(test.name));
        store.testType.push_back(test.type);
        store.pInitial.push_back(test.pInitial);
        store.eInitial.push_back(test.eInitial);
        store.rowCount.push_back(static_cast<std::int32_t>(test.rows.size()));
        for (std::int32_t r = 0; r < store.rowCount[t]; ++r)
            for (int c = 0; c < columnCount; ++c) store.measured(ti, r, c) = test.rows[static_cast<std::size_t>(r)][c];
        std::vector<MeasuredRow>().swap(test.rows);

        const auto column = [&](int c) {
            return store.measured.column(ti, c).first(static_cast<std::size_t>(store.rowCount[t]));
        };
        store.strainRange[t] = largestMagnitude(column(strainCol)) + strainMargin;
        store.qScale[t] = largestMagnitude(column(qCol));
        store.pScale[t] = largestMagnitude(column(pCol));
        store.evScale[t] = largestMagnitude(column(evCol));
        store.uScale[t] = largestMagnitude(column(uCol));
        store.pConsol[t] = store.measured(ti, 0, pCol);
    }
    return store;
}

// Rethrows running out of memory as the load's failure, named after `shown`.
template <class F>
auto outOfMemoryAsLoadError(const std::string& shown, F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        throw LoadError(shown + ": out of memory while loading the tests");
    } catch (const std::length_error&) {
        throw LoadError(shown + ": out of memory while loading the tests");
    }
}

}  // namespace

void TestStore::clear() {
    nTests = 0;
    maxRows = 0;
    testFile = {};
    curveFile = {};
    rowCount = {};
    testType = {};
    pInitial = {};
    eInitial = {};
    pConsol = {};
    eConsol = {};
    strainRange = {};
    qScale = {};
    pScale = {};
    evScale = {};
    uScale = {};
    measured = {};
    simCurve = {};
    simAtMeasured = {};
}

void TestStore::resetSimulated() {
    std::fill(eConsol.begin(), eConsol.end(), 0.0);
    for (int t = 0; t < nTests; ++t) {
        for (int c = 0; c < columnCount; ++c) {
            auto curve = simCurve.column(t, c);
            std::fill(curve.begin(), curve.end(), 0.0);
            auto rows = simAtMeasured.column(t, c);
            std::fill(rows.begin(), rows.end(), 0.0);
        }
    }
}

fs::path hostPath(const fs::path& hostFolder, std::string_view name) {
    const fs::path mapped(mapSeparators(name));
    if (hostFolder.empty()) return mapped;
    return hostFolder / mapped;
}

std::string displayName(const fs::path& hostFolder, std::string_view name) {
    std::string mapped = mapSeparators(name);
    std::size_t skip = 0;
    while (mapped.compare(skip, 2, "./") == 0) skip += 2;
    mapped.erase(0, skip);
    const std::string folder = hostFolder.string();
    if (!(folder.empty() || folder == "." || folder == "./" || fs::path(mapped).is_absolute()))
        mapped = (hostFolder / mapped).string();
    // Control characters would garble (or, for NUL, cut) a message.
    std::string shown;
    shown.reserve(mapped.size());
    for (const char ch : mapped) appendPrintable(shown, ch);
    return shown;
}

std::string deriveCurveFile(std::string_view listName, std::int32_t testType) {
    const std::string_view name = trimTrailingBlanks(listName);
    const std::string_view stem =
        trimTrailingBlanks(name.size() > 4 ? name.substr(0, name.size() - 4) : std::string_view());
    std::string curve(stem);
    curve += '-';
    curve += std::to_string(testType);
    curve += ".DAT";
    if (curve.size() > maxNameLength) curve.resize(maxNameLength);
    return curve;
}

TestStore buildTestStore(std::vector<LabTest> tests) {
    return outOfMemoryAsLoadError("the test set", [&] { return buildStore(std::move(tests)); });
}

std::vector<LabTest> readTestList(const fs::path& hostFolder, std::string_view listName,
                                  std::vector<std::string>* warnings) {
    const std::string listShown = displayName(hostFolder, listName);
    return outOfMemoryAsLoadError(listShown, [&] {
        ListContent content = readList(hostFolder, listName, listShown);
        if (warnings != nullptr) {
            addWarnings(&content.warnings, plausibilityWarnings(content.tests, content.sources));
            addWarnings(warnings, std::move(content.warnings));
        }
        return std::move(content.tests);
    });
}

TestStore loadTestList(const fs::path& hostFolder, std::string_view listName, std::vector<std::string>* warnings) {
    const std::string listShown = displayName(hostFolder, listName);
    return outOfMemoryAsLoadError(listShown, [&] {
        ListContent content = readList(hostFolder, listName, listShown);
        if (warnings != nullptr) {
            addWarnings(&content.warnings, plausibilityWarnings(content.tests, content.sources));
        }
        TestStore store = buildStore(std::move(content.tests));
        if (warnings != nullptr) {
            addWarnings(&content.warnings, scoringWarnings(store, content.sources, listShown));
            addWarnings(warnings, std::move(content.warnings));
        }
        return store;
    });
}

void loadCheck(TestStore& store, LoadFlags& rule, const fs::path& hostFolder, bool reload,
               std::vector<std::string>* warnings) {
    ListKind kind;
    if (reload) {
        kind = ListKind::full;
    } else if (rule.retryList) {
        kind = *rule.retryList;
    } else if (rule.firstLoadPending) {
        rule.firstLoadPending = false;
        kind = ListKind::working;
    } else {
        return;
    }
    const std::string_view listName = kind == ListKind::full ? fullListName : workingListName;
    store.clear();
    try {
        std::vector<std::string> found;
        store = loadTestList(hostFolder, listName, warnings != nullptr ? &found : nullptr);
        rule.retryList.reset();
        addWarnings(warnings, std::move(found));
    } catch (...) {
        store.clear();
        rule.retryList = kind;
        throw;
    }
}

namespace {

// A name as a list record field: quoted when it holds a blank, a tab, a
// comma or a quote.
std::string listField(const std::string& name) {
    if (!name.empty() && name.find_first_of(" \t,'\"") == std::string::npos) return name;
    std::string quoted = "'";
    for (char ch : name) {
        if (ch == '\'') quoted += '\'';
        quoted += ch;
    }
    return quoted + "'";
}

std::string listText(std::span<const LabTest> tests) {
    std::string text;
    for (const LabTest& t : tests) {
        text += listField(t.name) + ' ' + std::to_string(t.type) + ' ' + shortest(t.pInitial) + ' ' +
                shortest(t.eInitial) + '\n';
    }
    return text;
}

std::string dataText(const LabTest& test) {
    std::string text;
    for (const MeasuredRow& row : test.rows) {
        for (int c = 0; c < columnCount; ++c) {
            if (c) text += ' ';
            text += shortest(row[c]);
        }
        text += '\n';
    }
    return text;
}

}  // namespace

std::vector<fs::path> writeTestSet(const fs::path& dir, std::span<const LabTest> full,
                                   std::span<const LabTest> working) {
    std::vector<fs::path> files;
    const fs::path folder = dir / "vornevResult";
    createFolder(folder);
    const std::string fullText = listText(full);
    const std::string workingText = listText(working);
    std::vector<std::string> written;
    for (const auto* tests : {&full, &working}) {
        for (const LabTest& test : *tests) {
            if (std::find(written.begin(), written.end(), test.name) != written.end()) continue;
            written.push_back(test.name);
            const fs::path file = hostPath(dir, test.name);
            const fs::path relative = hostPath({}, test.name);
            if (relative.is_absolute() ||
                std::find(relative.begin(), relative.end(), fs::path("..")) != relative.end())
                throw FileError(displayName(dir, test.name), "write", "a test's name must be a path inside the folder");
            if (file.has_parent_path()) createFolder(file.parent_path());
            writeFile(file, dataText(test), displayName(dir, test.name));
            files.push_back(file);
        }
    }
    const fs::path fullList = hostPath(dir, fullListName);
    const fs::path workingList = hostPath(dir, workingListName);
    writeFile(fullList, fullText);
    writeFile(workingList, workingText);
    files.push_back(fullList);
    files.push_back(workingList);
    return files;
}

}  // namespace calvenor
