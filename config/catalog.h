// The compiled-in catalog of the twelve products this program can install.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::int32_t kCatalogSize = 12;

// 1..12 for a known id (exact, case-sensitive match), 0 otherwise.
std::int32_t catalogIndexOfId(const std::string& id);
// Empty strings for any index outside 1..12.
std::wstring catalogDisplayName(std::int32_t index);
std::wstring catalogFileStem(std::int32_t index);
// The row's address, or the build's PRODUCT_DOWNLOAD_URL when that is set and
// the index is the build's own product.
std::string catalogDownloadAddress(std::int32_t index);
// The same lookup for any build: `overrideUrl`, when not empty, replaces the
// address of the row whose id is `productId` (compared after ASCII
// lower-casing, as the dialog lower-cases its id before looking it up).
std::string catalogDownloadAddress(std::int32_t index, std::string_view productId, std::string_view overrideUrl);

// The product id this build installs (build option PRODUCT_ID).
std::string buildProductId();

// `id` with its ASCII letters lower-cased (and no other byte changed), the
// form in which the program looks its own id up and seals are made for.
std::string lowerCaseProductId(std::string_view id);
