#pragma once

// Every link layer compares a reply's check (CRC, checksum) through this one
// function. The fuzz build (KOV_FUZZ_SKIP_CHECKS, set only by -DKOV_FUZZ=ON)
// takes every check as matching, so generated replies get past the check and
// exercise the decoders behind it; any other build compares for real.

namespace kov {

constexpr bool ReplyCheckOk(bool matches) {
#ifdef KOV_FUZZ_SKIP_CHECKS
    (void)matches;
    return true;
#else
    return matches;
#endif
}

}  // namespace kov
