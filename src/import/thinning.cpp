#include <algorithm>
#include <cmath>

#include "import/import.hpp"

namespace calvenor {

std::vector<std::size_t> thinnedRows(const std::vector<double>& strain, const std::vector<double>& q,
                                     std::size_t maxRows) {
    const std::size_t n = strain.size();
    std::vector<std::size_t> all(n);
    for (std::size_t i = 0; i < n; ++i) all[i] = i;
    if (maxRows == 0 || n <= maxRows) return all;

    std::size_t peak = 0;
    for (std::size_t i = 1; i < q.size() && i < n; ++i) {
        if (q[i] > q[peak]) peak = i;
    }
    std::vector<bool> keep(n, false);
    keep[0] = keep[n - 1] = keep[peak] = true;
    const std::size_t fixed = peak == 0 || peak == n - 1 ? 2 : 3;
    const std::size_t targets = maxRows > fixed ? maxRows - fixed : 0;
    const double first = strain.front();
    const double span = strain.back() - first;
    const bool rising = std::is_sorted(strain.begin(), strain.end());
    std::size_t at = 0;  // for rising strains: the last row at or below the target
    for (std::size_t j = 1; j <= targets; ++j) {
        const double target = first + span * (static_cast<double>(j) / static_cast<double>(targets + 1));
        std::size_t best = 0;
        if (rising) {
            while (at + 1 < n && strain[at + 1] <= target) ++at;
            best = at + 1 < n && strain[at + 1] - target < target - strain[at] ? at + 1 : at;
        } else {
            for (std::size_t i = 1; i < n; ++i) {
                if (std::fabs(strain[i] - target) < std::fabs(strain[best] - target)) best = i;
            }
        }
        keep[best] = true;
    }
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
        if (keep[i]) rows.push_back(i);
    }
    return rows;
}

}  // namespace calvenor
