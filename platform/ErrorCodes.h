#pragma once
// Result codes carry Windows meanings on every platform, so the core and the
// messages that depend on a code are the same everywhere. 0 is success.
#include <cstdint>

namespace setup {

using ErrorCode = uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFailure = 1;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorReadFault = 30;
inline constexpr ErrorCode kErrorSharingViolation = 32;
// The request needs something this system or session lacks (a display).
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorDirectoryNotEmpty = 145;
// Another run holds the template directory's lock.
inline constexpr ErrorCode kErrorBusy = 170;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorCannotWrite = 1013;
inline constexpr ErrorCode kErrorCancelled = 1223;
// A folder on the way to a path is a link: the path is not entered.
inline constexpr ErrorCode kErrorLinkInPath = 1921;

}  // namespace setup
