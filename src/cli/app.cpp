#include "cli/app.hpp"

#include <charconv>
#include <cmath>
#include <ostream>

namespace calvenor::cli {

int runCalvenor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Calvenor: calibration of a critical-state soil model against triaxial tests.",
                 "calvenor"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "calvenor 0.1.0");
    Context ctx{out, err};
    addSimulateCommand(app, ctx);
    addEvalCommand(app, ctx);
    addCalibrateCommand(app, ctx);
    addSynthCommand(app, ctx);
    addPlotCommand(app, ctx);
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
        out << "calvenor 0.1.0\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        err << "calvenor: " << e.what() << "\n";
        return 2;
    } catch (const UsageError& e) {
        err << "calvenor: " << e.what() << "\n";
        return 2;
    }
    return ctx.status;
}

}  // namespace calvenor::cli
