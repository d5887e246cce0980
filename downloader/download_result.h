// Result codes of the download engine.
#pragma once

#include <cstdint>

enum DownloadResult : std::int32_t {
    DE_Success = 0,
    DE_Stopped = 1,
    DE_CurlMultiError = 2,
    DE_AllocateDestFileError = 10,
    DE_OpenDestFileError = 11,
    DE_SaveResumeStateError = 12,
    DE_TooManyErrors = 13,
    DE_HttpNotFound = 15,
    DE_HttpGone = 16,
    DE_HttpServiceUnavailable = 17,
    DE_RangeIgnored = 18,
    // The download thread met an unexpected failure (an exception) and gave up.
    DE_InternalError = 19,
    // A write of the destination file failed (disk full, I/O error).
    DE_DestWriteError = 20,
    // The destination (or the resume state beside it) could not be reserved
    // for lack of space; nothing was requested and any partial download kept.
    DE_NotEnoughSpace = 21,
};

// More counted transfer or verification errors than this end a transfer run.
inline constexpr std::int32_t MAX_VERIFICATION_ERROR_COUNT = 3;
