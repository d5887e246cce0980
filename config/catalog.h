// The compiled-in catalog of the twelve products this program can install.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::int32_t kCatalogSize = 12;

// 1..12 for a known id (exact, case-sensitive match), 0 otherwise.
std::int32_t catalogIndexOfId(const std::string& id);
// Empty strings for any index outside 1..12.
std::wstring catalogDisplayName(std::int32_t index);
std::wstring catalogFileStem(std::int32_t index);
std::string catalogDownloadAddress(std::int32_t index);

// The product id this build installs (build option PRODUCT_ID).
std::string buildProductId();
