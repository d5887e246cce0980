// The payload seal with real keys (OpenSSL here; the Windows program checks
// with CNG): a sealed block is taken for its own product and key only, and
// no change to its bytes, items or seal gets past the check.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/payload_seal.h"
#include "config/stamp_block.h"
#include "tests/unit/scratch_dir.h"
#include "tools/stamp/seal_key.h"

namespace {

using namespace std::string_literals;

// A fresh P-256 key pair: the signer as stamp loads it, and the public point.
struct TestKey {
    std::unique_ptr<SealKey> signer;
    platform::P256PublicKey pub{};

    TestKey() {
        unittest::ScratchDir dir;
        EVP_PKEY* pkey = EVP_EC_gen("P-256");
        unsigned char point[65] = {};
        std::size_t length = 0;
        EXPECT_EQ(EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &length), 1);
        std::copy(point + 1, point + 65, pub.begin());
        const auto pem = dir.path() / "key.pem";
        BIO* out = BIO_new_file(pem.string().c_str(), "w");
        PEM_write_bio_PrivateKey(out, pkey, nullptr, nullptr, 0, nullptr, nullptr);
        BIO_free(out);
        EVP_PKEY_free(pkey);
        signer = std::make_unique<SealKey>(pem, nullptr);
    }
    SealSigner sign() const {
        return [this](std::string_view message) { return signer->sign(message); };
    }
};

const TestKey& distributorKey() {
    static const TestKey key;
    return key;
}

const std::vector<StampItem> kItems{{"vid", "15"}, {"partnerId", "7"}, {"silentMode", "false"}, {"ap", "13"}};
const std::string kProgram = "MZ program bytes PayloadInfo:\0 more data "s;

std::string sealed(const std::vector<StampItem>& items, std::string_view product = "pelmora",
                   const TestKey& key = distributorKey()) {
    return buildSealedPayloadBlock(items, product, key.sign());
}

SealCheck::Verdict verdictOf(const std::string& block, std::string_view product = "pelmora") {
    return checkSealedPayload(kProgram + block, product, distributorKey().pub).verdict;
}

TEST(PayloadSeal, ASealedBlockGivesItsItemsButTheSeal) {
    for (const std::size_t padding : {0, 7}) {
        const SealCheck check =
            checkSealedPayload(kProgram + sealed(kItems) + std::string(padding, '\0'), "pelmora", distributorKey().pub);
        ASSERT_EQ(check.verdict, SealCheck::sealed) << check.detail;
        EXPECT_EQ(check.payload, (PayloadMap{{"ap", "13"}, {"partnerId", "7"}, {"silentMode", "false"}, {"vid", "15"}}));
    }
    EXPECT_EQ(verdictOf(sealed({})), SealCheck::sealed);
}

TEST(PayloadSeal, EveryChangedByteOfTheBlockIsRefused) {
    const std::string block = sealed(kItems);
    // Up to the block's own zero byte: the marker, each item and the seal.
    for (std::size_t at = 0; at + 1 < block.size(); ++at) {
        std::string changed = block;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        EXPECT_EQ(verdictOf(changed), SealCheck::refused) << "byte " << at << " of " << block;
    }
}

TEST(PayloadSeal, BlocksNotSealedForThisProgramAreRefused) {
    const std::string good = sealed(kItems);
    const std::string seal = good.substr(good.find("seal="), 134);
    const std::string items = "PayloadInfo:vid=15;partnerId=7;silentMode=false;ap=13;";
    ASSERT_EQ(good, items + seal + '\0');
    const std::string otherSeal = sealed(kItems, "pelmora", TestKey()).substr(items.size(), 134);
    const std::pair<const char*, std::string> cases[] = {
        {"no block", ""},
        {"a block without a seal", buildPayloadBlock(kItems)},
        {"an item added before the seal", "PayloadInfo:vid=15;partnerId=7;silentMode=false;ap=13;x=1;" + seal + '\0'},
        {"an item added after the seal", items + seal + "x=1;\0"s},
        {"an item removed", "PayloadInfo:vid=15;partnerId=7;ap=13;" + seal + '\0'},
        {"items reordered", "PayloadInfo:partnerId=7;vid=15;silentMode=false;ap=13;" + seal + '\0'},
        {"the seal of another key", items + otherSeal + '\0'},
        {"the seal for another product", sealed(kItems, "dravolin")},
        {"a second seal item", sealed({{"seal", "x"}, {"vid", "15"}})},
        {"a seal cut short", items + seal.substr(0, 132) + ";\0"s},
        {"a seal in upper-case hex", items + "seal=" + [&] {
             std::string hex = seal.substr(5, 128);
             for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
             return hex;
         }() + ";\0"s},
        {"a seal of other digits", items + "seal=" + std::string(127, 'g') + "0;\0"s},
        {"bytes after the seal", items + seal + "\0\0junk"s},
        {"a later block appended", good + "PayloadInfo:vid=99;\0"s},
    };
    for (const auto& [name, block] : cases) EXPECT_EQ(verdictOf(block), SealCheck::refused) << name;
}

}  // namespace
