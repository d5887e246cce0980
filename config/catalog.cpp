// The twelve products and their download addresses. The makers' real servers
// are not known to this source tree: every address lies under the reserved
// ".example" domain, and a distributor supplies the real one for the product
// it builds with PRODUCT_DOWNLOAD_URL.
#include "config/catalog.h"

#include <string_view>

// Both come from the build options PRODUCT_ID and PRODUCT_DOWNLOAD_URL.
#if !defined(VORLANE_PRODUCT_ID) || !defined(VORLANE_PRODUCT_DOWNLOAD_URL)
#error "catalog.cpp is built with VORLANE_PRODUCT_ID and VORLANE_PRODUCT_DOWNLOAD_URL defined"
#endif

namespace {

struct Product {
    std::string_view id;
    const wchar_t* displayName;
    const wchar_t* fileStem;
    // Products 1, 6, 9, 11 and 12 are fetched as the installer file itself;
    // the others through an endpoint that answers with the installer.
    std::string_view downloadAddress;
};

constexpr Product kProducts[kCatalogSize] = {
    {"pelmora", L"PelMora", L"pel_mora", "https://downloads.pelmora.example/installer/pelmora_setup.exe"},
    {"quintavo", L"Quin Tavo", L"quin_tavo", "https://www.quintavo.example/download/latest?platform=win64"},
    {"dravolin", L"Dravo Lin", L"dravo_lin", "https://get.dravolin.example/download/windows"},
    {"sorvekin", L"Sor Vekin", L"sor_vekin", "https://sorvekin.example/api/installer/download?os=windows"},
    {"tamlux", L"TamerLux", L"tamer_lux", "https://www.tamlux.example/download/start"},
    {"ovenrik", L"OvenRik", L"oven_rik", "https://cdn.ovenrik.example/releases/OvenRikSetup.exe"},
    {"brasquel", L"BrasQuel", L"bras_quel", "https://download.brasquel.example/get?product=brasquel&os=win"},
    {"brasmiro", L"BrasMiro", L"bras_miro", "https://download.brasmiro.example/get?product=brasmiro&os=win"},
    {"lestawenor", L"Lesta Wenor", L"lesta_wenor", "https://files.lestawenor.example/setup/lesta_wenor_setup.exe"},
    {"kalvedro", L"KalVedro", L"kal_vedro", "https://www.kalvedro.example/downloads/windows/latest"},
    {"mirawenor", L"Mira Wenor", L"mira_wenor", "https://files.mirawenor.example/setup/MiraWenorSetup.exe"},
    {"hollestrin", L"Holle Strin", L"holle_strin", "https://dl.hollestrin.example/win/hollestrin_installer.exe"},
};

const Product* productAt(std::int32_t index) {
    if (index < 1 || index > kCatalogSize) return nullptr;
    return &kProducts[index - 1];
}

}  // namespace

std::string lowerCaseProductId(std::string_view id) {
    std::string lower(id);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::int32_t catalogIndexOfId(const std::string& id) {
    for (std::int32_t index = 1; index <= kCatalogSize; ++index) {
        if (kProducts[index - 1].id == id) return index;
    }
    return 0;
}

std::wstring catalogDisplayName(std::int32_t index) {
    const Product* product = productAt(index);
    return product ? product->displayName : std::wstring();
}

std::wstring catalogFileStem(std::int32_t index) {
    const Product* product = productAt(index);
    return product ? product->fileStem : std::wstring();
}

std::string catalogDownloadAddress(std::int32_t index, std::string_view productId, std::string_view overrideUrl) {
    const Product* product = productAt(index);
    if (!product) return {};
    if (!overrideUrl.empty() && lowerCaseProductId(product->id) == lowerCaseProductId(productId)) return std::string(overrideUrl);
    return std::string(product->downloadAddress);
}

std::string catalogDownloadAddress(std::int32_t index) {
    return catalogDownloadAddress(index, VORLANE_PRODUCT_ID, VORLANE_PRODUCT_DOWNLOAD_URL);
}

std::string buildProductId() { return VORLANE_PRODUCT_ID; }
