#pragma once

// Value texts as the data service receives them: a double written the way a
// standard output stream writes it (general notation, "10", "1.5e+06") with
// 6, 12 or 16 significant digits, or in fixed notation with 6 decimals.

#include <string>

namespace kov {

// General notation with the given significant digits (printf "%.*g").
std::string FormatGeneral(double v, int digits = 6);
// Fixed notation with the given decimals (printf "%.*f").
std::string FormatFixed(double v, int decimals = 6);

}  // namespace kov
