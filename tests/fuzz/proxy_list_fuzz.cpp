// Fuzzes the reading of a proxy list as WinHTTP or an auto-config script
// gives it ("PROXY a:1; DIRECT", "a:1;b:2").
//
// Invariants: the answer is either no proxy at all or a proxy with a host
// free of ':' and a port, neither holding ';', whose "host:port" is part of
// the list and holds no '=' or '/'; and the first entry decides, so whatever
// follows a list that names a proxy does not change it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/proxy_discovery.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool same(const ProxySettings& a, const ProxySettings& b) {
    return a.type == b.type && a.host == b.host && a.port == b.port && a.user == b.user && a.password == b.password;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    // The fuzzer's own split point: the list, then what follows it.
    const std::size_t cut = input.find('\n');
    const std::string list = input.substr(0, cut);

    const ProxySettings proxy = firstListedProxy(list);
    check(proxy.user.empty() && proxy.password.empty(), "a list names no credentials");
    if (!usesProxy(proxy)) {
        check(same(proxy, ProxySettings{}), "no proxy is an empty record");
        return 0;
    }
    check(proxy.host.find(':') == std::string::npos, "the host ends at the first ':'");
    check(!proxy.port.empty(), "a proxy has a port");
    check(proxy.address().find_first_of(";=/") == std::string::npos, "no ';', '=' or '/' in a proxy");
    check(list.find(proxy.address()) != std::string::npos, "the proxy is part of the list");

    const std::string rest = cut == std::string::npos ? std::string() : input.substr(cut + 1);
    check(same(firstListedProxy(list + ";" + rest), proxy), "the first entry decides");
    return 0;
}
