// The product catalog: its rows, the exact id lookup and the build's address override.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "config/catalog.h"

namespace {

struct Row {
    std::int32_t index;
    std::string id;
    std::wstring displayName;
    std::wstring fileStem;
    bool addressNamesTheInstaller;  // the address is the ".exe" itself
};

// The catalog as the product pages and window captions know it.
const std::vector<Row> kRows = {
    {1, "pelmora", L"PelMora", L"pel_mora", true},
    {2, "quintavo", L"Quin Tavo", L"quin_tavo", false},
    {3, "dravolin", L"Dravo Lin", L"dravo_lin", false},
    {4, "sorvekin", L"Sor Vekin", L"sor_vekin", false},
    {5, "tamlux", L"TamerLux", L"tamer_lux", false},
    {6, "ovenrik", L"OvenRik", L"oven_rik", true},
    {7, "brasquel", L"BrasQuel", L"bras_quel", false},
    {8, "brasmiro", L"BrasMiro", L"bras_miro", false},
    {9, "lestawenor", L"Lesta Wenor", L"lesta_wenor", true},
    {10, "kalvedro", L"KalVedro", L"kal_vedro", false},
    {11, "mirawenor", L"Mira Wenor", L"mira_wenor", true},
    {12, "hollestrin", L"Holle Strin", L"holle_strin", true},
};

// Host and path of an absolute https address; empty when it is not one.
struct HttpsAddress {
    std::string host;
    std::string path;
};

HttpsAddress splitHttps(const std::string& address) {
    const std::string scheme = "https://";
    if (address.rfind(scheme, 0) != 0) return {};
    const std::size_t slash = address.find('/', scheme.size());
    if (slash == std::string::npos) return {address.substr(scheme.size()), "/"};
    std::string path = address.substr(slash);
    path = path.substr(0, path.find_first_of("?#"));
    return {address.substr(scheme.size(), slash - scheme.size()), path};
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(Catalog, RowsAreAsPublished) {
    ASSERT_EQ(static_cast<std::int32_t>(kRows.size()), kCatalogSize);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(catalogIndexOfId(row.id), row.index);
        EXPECT_EQ(catalogDisplayName(row.index), row.displayName);
        EXPECT_EQ(catalogFileStem(row.index), row.fileStem);
    }
}

TEST(Catalog, AddressesAreHttpsUnderTheReservedDomainOfTheRightKind) {
    std::set<std::string> seen;
    for (const Row& row : kRows) {
        const std::string address = catalogDownloadAddress(row.index, "", "");
        SCOPED_TRACE(address);
        const HttpsAddress parts = splitHttps(address);
        ASSERT_FALSE(parts.host.empty());
        EXPECT_TRUE(endsWith(parts.host, ".example"));
        EXPECT_EQ(endsWith(parts.path, ".exe"), row.addressNamesTheInstaller);
        EXPECT_TRUE(seen.insert(address).second) << "addresses are per product";
    }
}

struct IdCase {
    std::string id;
    std::int32_t index;
};

TEST(Catalog, IdsMatchOnlyExactly) {
    const std::vector<IdCase> cases = {
        {"pelmora", 1},  {"hollestrin", 12}, {"PelMora", 0}, {"pelmora ", 0}, {" pelmora", 0},
        {"pel_mora", 0}, {"Quin Tavo", 0},   {"pelmor", 0},  {"pelmoraa", 0}, {"", 0},
        {std::string("pelmora\0", 8), 0},
    };
    for (const IdCase& c : cases) EXPECT_EQ(catalogIndexOfId(c.id), c.index) << testing::PrintToString(c.id);
}

TEST(Catalog, IndexesOutsideTheCatalogGiveEmptyStrings) {
    for (const std::int32_t index : {0, 13, -1, -12, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(catalogDisplayName(index), L"");
        EXPECT_EQ(catalogFileStem(index), L"");
        EXPECT_EQ(catalogDownloadAddress(index), "");
        EXPECT_EQ(catalogDownloadAddress(index, "pelmora", "http://127.0.0.1:1/x"), "");
    }
}

struct OverrideCase {
    const char* name;
    std::int32_t index;
    std::string productId;
    std::string overrideUrl;
    bool overridden;
};

TEST(Catalog, BuildAddressReplacesOnlyTheBuildProductsRow) {
    const std::string url = "http://127.0.0.1:8080/setup.exe";
    const std::vector<OverrideCase> cases = {
        {"OwnRow", 1, "pelmora", url, true},
        {"OwnRowOfAnotherProduct", 12, "hollestrin", url, true},
        {"IdAsTheDialogLowerCasesIt", 1, "PelMora", url, true},
        {"OtherRow", 2, "pelmora", url, false},
        {"NoOverride", 1, "pelmora", "", false},
        {"UnknownBuildProduct", 1, "nosuch", url, false},
    };
    for (const OverrideCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string address = catalogDownloadAddress(c.index, c.productId, c.overrideUrl);
        if (c.overridden) {
            EXPECT_EQ(address, c.overrideUrl);
        } else {
            EXPECT_EQ(address, catalogDownloadAddress(c.index, "", ""));
        }
    }
}

TEST(Catalog, BuildLookupUsesTheBuildOptions) {
    // Whatever PRODUCT_DOWNLOAD_URL this build has, the other products keep
    // their own rows.
    const std::int32_t own = catalogIndexOfId(buildProductId());
    for (std::int32_t index = 1; index <= kCatalogSize; ++index) {
        if (index == own) continue;
        EXPECT_EQ(catalogDownloadAddress(index), catalogDownloadAddress(index, "", "")) << index;
    }
    EXPECT_FALSE(buildProductId().empty());
}

}  // namespace
