#pragma once

#include "pgulo/host/HostExport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

// Name resolution over getaddrinfo and inet_ntop.
struct RONET_ip {
    sockaddr_storage address{};
    socklen_t length = 0;
};

struct RONET_hostent {
    std::vector<RONET_ip> addresses;
};

// 0 when the text is a numeric IPv4 or IPv6 address.
PGULO_HOST_API int RONET_str2ip(const char* text, RONET_ip* ip);
// 0 when the name resolved to at least one address.
PGULO_HOST_API int RONET_name2ip(const char* name, RONET_hostent* result);
PGULO_HOST_API void RONET_freehostent(RONET_hostent* result);
// 0 when the address was written into the buffer.
PGULO_HOST_API int RONET_ip2str(const RONET_ip* ip, char* buffer, int length);
