// libFuzzer target for the field decoder: any byte sequence must decode to fields that lie inside it,
// or to "no further field".
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "interfaces/dch_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    vorpane::dch::FieldReader reader(bytes, size);
    size_t last = reader.offset();
    for (;;) {
        vorpane::dch::FieldReader::Field f = reader.next();
        if (!f) {
            break;
        }
        if (f.value < bytes || f.value + f.length > bytes + size || reader.offset() <= last) {
            std::abort();
        }
        last = reader.offset();
    }
    // The same bytes as the value of one field must round-trip.
    vorpane::dch::MessageBuilder m;
    m.add(DCH_attrTypeValue, data, size, 'D');
    vorpane::dch::FieldReader again(m.data(), m.size());
    vorpane::dch::FieldReader::Field f = again.next();
    if (f.type != DCH_attrTypeValue || f.length != size || f.extra != 'D') {
        std::abort();
    }
    return 0;
}
