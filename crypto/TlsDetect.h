#pragma once
// Telling an encrypted connection from a plain one by its first bytes. A TLS connection starts with
// a handshake record holding the ClientHello: the content type 0x16, then the major version 0x03.
// No plain message of the four channels starts with 0x16 (a chat line begins with "<" or a notice,
// a trade message with 0xA7, plot records with a digit or "-", a file header with its marker's
// length byte, 8), so a listener can decide on the first two bytes and hand everything else, the
// bytes it has looked at included, to the plain path unchanged.

#include <QByteArrayView>

inline constexpr char kTlsHandshakeRecord = 0x16;
inline constexpr char kTlsMajorVersion = 0x03;
inline constexpr int kClientHelloPrefixBytes = 2;

enum class FirstBytes {
    NeedMore, // too few bytes yet to tell (a lone 0x16)
    ClientHello,
    Plain,
};

inline FirstBytes classifyFirstBytes(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return FirstBytes::NeedMore;
    if (bytes[0] != kTlsHandshakeRecord)
        return FirstBytes::Plain;
    if (bytes.size() < kClientHelloPrefixBytes)
        return FirstBytes::NeedMore;
    return bytes[1] == kTlsMajorVersion ? FirstBytes::ClientHello : FirstBytes::Plain;
}

inline bool looksLikeClientHello(QByteArrayView firstBytes) {
    return classifyFirstBytes(firstBytes) == FirstBytes::ClientHello;
}
