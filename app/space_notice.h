// Sizes as Windows Explorer writes them, and the notice for a drive that
// cannot hold the download: the space to free and the drive to free it on.
#pragma once

#include <cstdint>
#include <string>

enum class SizeRounding { up, down };

// `bytes` in KB, MB or GB (units of 1024) with one decimal: "17.2 MB", in
// Russian "17,2 МБ". Rounded up by default, so that freeing what it says is
// always enough; rounded down, a count still short of a total never reads
// as the total rounded up.
std::wstring spaceText(std::int64_t bytes, bool russian, SizeRounding rounding = SizeRounding::up);

// The drive of `path` as the user names it ("C:"), else its share
// ("\\server\share") or, failing both, the path itself.
std::wstring driveOf(const std::wstring& path);

// Text 15 in the interface language for `bytes` to free on the drive of `path`.
std::wstring notEnoughSpaceNotice(std::int64_t bytes, const std::wstring& path);
