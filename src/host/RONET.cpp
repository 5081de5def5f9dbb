#include "pgulo/host/RONET.h"

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netdb.h>

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* info) const {
        if (info != nullptr)
            ::freeaddrinfo(info);
    }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrInfoPtr lookup(const char* name, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) != 0)
        return AddrInfoPtr();
    return AddrInfoPtr(result);
}

bool copyAddress(const addrinfo* info, RONET_ip& ip) {
    if (info->ai_addr == nullptr || info->ai_addrlen > sizeof ip.address)
        return false;
    std::memset(&ip.address, 0, sizeof ip.address);
    std::memcpy(&ip.address, info->ai_addr, info->ai_addrlen);
    ip.length = info->ai_addrlen;
    return true;
}

} // namespace

int RONET_str2ip(const char* text, RONET_ip* ip) {
    if (text == nullptr || *text == '\0' || ip == nullptr)
        return -1;
    if (std::strchr(text, ':') == nullptr) {
        // Only the dotted quad: the resolver would also take legacy forms such as "1.2.3".
        sockaddr_in address{};
        if (::inet_pton(AF_INET, text, &address.sin_addr) != 1)
            return -1;
        address.sin_family = AF_INET;
        std::memset(&ip->address, 0, sizeof ip->address);
        std::memcpy(&ip->address, &address, sizeof address);
        ip->length = sizeof address;
        return 0;
    }
    // IPv6 through the resolver, which also understands a scope ("fe80::1%eth0").
    AddrInfoPtr info = lookup(text, AI_NUMERICHOST);
    if (!info || info->ai_family != AF_INET6 || !copyAddress(info.get(), *ip))
        return -1;
    return 0;
}

int RONET_name2ip(const char* name, RONET_hostent* result) {
    if (name == nullptr || *name == '\0' || result == nullptr)
        return -1;
    result->addresses.clear();
    AddrInfoPtr info = lookup(name, AI_ADDRCONFIG);
    if (!info)
        info = lookup(name, 0);
    for (const addrinfo* entry = info.get(); entry != nullptr; entry = entry->ai_next) {
        RONET_ip ip;
        if (!copyAddress(entry, ip))
            continue;
        bool seen = false;
        for (const RONET_ip& known : result->addresses)
            seen = seen || (known.length == ip.length &&
                            std::memcmp(&known.address, &ip.address, ip.length) == 0);
        if (!seen)
            result->addresses.push_back(ip);
    }
    return result->addresses.empty() ? -1 : 0;
}

void RONET_freehostent(RONET_hostent* result) {
    if (result != nullptr)
        result->addresses.clear();
}

int RONET_ip2str(const RONET_ip* ip, char* buffer, int length) {
    if (ip == nullptr || buffer == nullptr || length <= 0 || ip->length == 0)
        return -1;
    char text[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&ip->address), ip->length, text,
                      sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return -1;
    size_t size = std::strlen(text);
    if (size + 1 > static_cast<size_t>(length))
        return -1;
    std::memcpy(buffer, text, size + 1);
    return 0;
}
