// The one error of the importer: what() names the file, the 1-based line
// and the column where it applies, e.g.
//   "export/CU.csv:17: column 4 ('Radial stress'): expected a number, found '12.3x'".
#pragma once

#include <stdexcept>

namespace calvenor {

class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace calvenor
