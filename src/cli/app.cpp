#include "cli/app.hpp"

#include <charconv>
#include <cmath>
#include <ostream>
#include <system_error>

#include "objective/worker_pool.hpp"

namespace calvenor::cli {

CLI::Validator wholeNumber(std::int64_t low, std::int64_t high) {
    const std::string range = "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            std::int64_t value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, ec] = std::from_chars(text.data(), end, value);
            if (text.empty() || ec != std::errc() || stop != end || value < low || value > high)
                return "expected " + range + ", found '" + text.substr(0, 40) + "'";
            return {};
        },
        range);
}

int runCalvenor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Calvenor: calibration of a critical-state soil model against triaxial tests.",
                 "calvenor"};
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "calvenor " CALVENOR_VERSION);
    Context ctx{out, err};
    addSimulateCommand(app, ctx);
    addEvalCommand(app, ctx);
    addCalibrateCommand(app, ctx);
    addSynthCommand(app, ctx);
    addPlotCommand(app, ctx);
    addImportCommand(app, ctx);
    addProfileCommand(app, ctx);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::CallForVersion&) {
        out << "calvenor " CALVENOR_VERSION "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        err << "calvenor: " << e.what() << "\n";
        return 2;
    } catch (const UsageError& e) {
        err << "calvenor: " << e.what() << "\n";
        return 2;
    } catch (const ThreadSettingError& e) {
        err << "calvenor: " << e.what() << "\n";
        return 2;
    }
    // Without a subcommand: what there is to do.
    if (app.get_subcommands().empty()) {
        err << app.help();
        return 2;
    }
    return ctx.status;
}

}  // namespace calvenor::cli
