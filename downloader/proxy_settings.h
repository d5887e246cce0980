// The proxy record handed to every request of a run.
#pragma once

#include <cstdint>
#include <string>

// The type that marks a manual proxy, one to be used.
inline constexpr std::int32_t kManualProxyType = 2;

struct ProxySettings {
    // kManualProxyType marks a proxy to be used; 0 after construction.
    std::int32_t type = 0;
    std::string host;
    std::string port;  // kept as text, never converted
    std::string user;
    std::string password;
    // Without a user name: answer the proxy's demand for credentials with
    // the signed-in user's own logon, through Negotiate or NTLM only.
    bool signedInUserCredentials = false;

    // host, a colon and the port text.
    std::string address() const { return host + ":" + port; }
};
