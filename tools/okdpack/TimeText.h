#pragma once
// Times as okdpack reads them from the command line and prints them.
#include <string>
#include <string_view>

#include "platform/FileOps.h"

namespace okdpack {

// "YYYY-MM-DDThh:mm:ss.fffffffZ" (UTC, to 100 ns).
std::string FormatTime(setup::FileTime time);

// Seconds since 1970-01-01 00:00 UTC ("1700000000", as SOURCE_DATE_EPOCH
// gives them; "-86400" before 1970) or "YYYY-MM-DDThh:mm:ssZ". False for
// anything else, and for a time before 1601 or past what a kit may carry.
bool ParseTime(std::string_view text, setup::FileTime& time);

}  // namespace okdpack
