// Host and port texts: a dotted IPv4 address or a host name, a port number or a service name.
#include "net/NameResolution.h"

#include "common/AnsiText.h"
#include "common/ProgramError.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

namespace {
constexpr int kServiceBufferBytes = 4096; // scratch space for one services database entry
constexpr uint32_t kPortMask = 0xFFFF;    // a port text's integer is used as 16 bits

bool startsWithAsciiDigit(const QString& text) {
    return !text.isEmpty() && text.front() >= u'0' && text.front() <= u'9';
}
} // namespace

bool isHostName(const QString& host) {
    return !host.isEmpty() && !startsWithAsciiDigit(host);
}

std::optional<uint32_t> hostAddress(const QString& host) {
    if (host.isEmpty())
        return INADDR_ANY;
    in_addr address{};
    if (isHostName(host) || ::inet_pton(AF_INET, ansi::encode(host).constData(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

uint16_t resolvePort(const QString& port) {
    if (port.isEmpty())
        return 0;
    servent entry{};
    servent* found = nullptr;
    char scratch[kServiceBufferBytes];
    const QByteArray name = ansi::encode(port);
    if (::getservbyname_r(name.constData(), "tcp", &entry, scratch, sizeof scratch, &found) == 0 &&
        found != nullptr)
        return ntohs(static_cast<uint16_t>(found->s_port));
    return static_cast<uint16_t>(static_cast<uint32_t>(toInt32OrThrow(port)) & kPortMask);
}
