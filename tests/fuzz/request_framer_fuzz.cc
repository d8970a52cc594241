// libFuzzer target for the request framer: any bytes frame the same way whether they come at once or
// in two pieces, and a whole request never ends past the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api/request_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vorpane::api::RequestFramer;
    if (size == 0) {
        return 0;
    }
    // Small limits, so that short inputs reach them; the head's at least twice a line's, as by default.
    RequestFramer::Limits limits;
    limits.maxLineBytes = 96;
    limits.maxHeadBytes = 256;
    limits.maxBodyBytes = 64;
    limits.maxChunkLineBytes = 24;
    limits.maxFramingBytes = 48;
    // The first byte picks where to cut and a head to begin with; a byte 0x01 stands for CR LF, so that
    // the fuzzer reaches headers, chunks and their ends without having to find CR LF first.
    static const char* const kHeads[] = {"", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                                         "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n", "GET / HTTP/1.1\r\n"};
    std::string input = kHeads[data[0] & 3];
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0x01) {
            input += "\r\n";
        } else {
            input.push_back(static_cast<char>(data[i]));
        }
    }
    const std::string_view bytes = input;
    const size_t cut = (data[0] >> 2) * bytes.size() / 63;

    RequestFramer whole(limits), pieces(limits);
    const RequestFramer::Result a = whole.feed(bytes);
    RequestFramer::Result b = pieces.feed(bytes.substr(0, cut));
    if (b == RequestFramer::Result::NeedMore) {
        b = pieces.feed(bytes);
    }
    if (a != b) {
        std::abort();
    }
    if (a == RequestFramer::Result::Complete && (whole.length() != pieces.length() || whole.length() > bytes.size() ||
                                                 whole.length() == 0)) {
        std::abort();
    }
    if (a == RequestFramer::Result::Refused && whole.status() != pieces.status()) {
        std::abort();
    }
    return 0;
}
