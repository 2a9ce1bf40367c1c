#include "drivers/common/value_text.h"

#include <iomanip>
#include <sstream>

namespace kov {

std::string FormatGeneral(double v, int digits) {
    std::ostringstream os;
    os << std::setprecision(digits) << v;
    return os.str();
}

std::string FormatFixed(double v, int decimals) {
    std::ostringstream os;
    os << std::fixed << std::setprecision(decimals) << v;
    return os.str();
}

}  // namespace kov
