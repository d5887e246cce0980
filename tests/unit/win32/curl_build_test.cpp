// The libcurl linked into the Windows program: the one setup builds from
// Debian's source, static, TLS through Schannel, HTTP and HTTPS only, with the
// threaded resolver (a blocking name lookup must not hold up a stop) and
// SSPI's NTLM and Negotiate for a proxy that asks who the user is.
#include <curl/curl.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(WindowsCurlBuild, SpeaksOnlyHttpAndHttps) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    std::set<std::string> protocols;
    for (const char* const* p = info->protocols; *p; ++p) protocols.insert(*p);
    EXPECT_EQ(protocols, (std::set<std::string>{"http", "https"}));
}

TEST(WindowsCurlBuild, UsesSchannelAndNoCompressionLibraries) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    ASSERT_NE(info->ssl_version, nullptr);
    EXPECT_EQ(std::string(info->ssl_version).rfind("Schannel", 0), 0u) << info->ssl_version;
    EXPECT_EQ(info->libz_version, nullptr);
    EXPECT_TRUE(info->features & CURL_VERSION_SSL);
    EXPECT_FALSE(info->features & CURL_VERSION_LIBZ);
    EXPECT_FALSE(info->features & CURL_VERSION_BROTLI);
    EXPECT_FALSE(info->features & CURL_VERSION_ZSTD);
    EXPECT_FALSE(info->features & CURL_VERSION_HTTP2);
    EXPECT_FALSE(info->features & CURL_VERSION_IDN);
}

TEST(WindowsCurlBuild, ResolvesNamesOnItsOwnThread) {
    EXPECT_TRUE(curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_ASYNCHDNS);
}

TEST(WindowsCurlBuild, AnswersProxiesWithTheSignedInUserThroughSspi) {
    const int features = curl_version_info(CURLVERSION_NOW)->features;
    EXPECT_TRUE(features & CURL_VERSION_SSPI);
    EXPECT_TRUE(features & CURL_VERSION_NTLM);
    EXPECT_TRUE(features & CURL_VERSION_SPNEGO);
}

}  // namespace
