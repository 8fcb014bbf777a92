// calvenor eval: calls of the objective in one module lifetime.
#include "cli/app.hpp"

namespace calvenor::cli {

void addEvalCommand(CLI::App&, Context&) {}

}  // namespace calvenor::cli
