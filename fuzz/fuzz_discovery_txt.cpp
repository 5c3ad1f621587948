// An announcement's TXT record as it comes from the network: the input is split into strings by
// its zero bytes. Whatever is read back encodes to strings that read back the same.
#include "fuzz/FuzzCheck.h"

#include "net/Discovery.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> strings = fuzz::bytesOf(data, size).split('\0');
    const std::optional<Announcement> read = parseTxt(strings);
    if (read) {
        FUZZ_CHECK(read->runId != 0);
        FUZZ_CHECK(parseTxt(encodeTxt(*read)) == read);
    }
    return 0;
}
