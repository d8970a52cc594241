#include "providers/row_collector.h"

#include "interfaces/dch_protocol.h"

namespace vorpane::testing {

RowCollector::RowCollector(const char* applName, const char* attrGroup)
    : _waiter(dc_waitOnDataInitialize(applName, attrGroup)), _buffer(1 << 20) {}

RowCollector::~RowCollector() {
    if (_waiter) {
        dc_waitOnDataDestroy(std::move(_waiter));
    }
}

bool RowCollector::waitUntilDelivering(const std::function<void()>& poke) {
    for (int attempt = 0; attempt < 400 && !_held; ++attempt) {
        poke();
        _held = next(0.05);
    }
    return _held.has_value();
}

std::optional<ReceivedRow> RowCollector::next(double seconds) {
    if (_held) {
        std::optional<ReceivedRow> row = std::move(_held);
        _held.reset();
        return row;
    }
    if (!_waiter || dc_waitOnData(_waiter.get(), _buffer.data(), _buffer.size(), seconds) != 0) {
        return std::nullopt;
    }
    dch::FieldReader r(_buffer.data(), _buffer.size());
    ReceivedRow row;
    row.source = std::string(r.next().cText());
    int16_t control = 0;
    r.next().int16(&control);
    row.control = static_cast<uint8_t>(control);
    while (dch::FieldReader::Field f = r.next()) {
        int32_t n32 = 0;
        int16_t n16 = 0;
        if (f.extra == 'D' || f.extra == 'O' || f.extra == 'T') {
            row.values.emplace_back(f.cText());
        } else if (f.int32(&n32)) {
            row.values.push_back(std::to_string(n32));
        } else if (f.int16(&n16)) {
            row.values.push_back(std::to_string(n16));
        } else {
            row.values.emplace_back(f.cText());
        }
    }
    return row;
}

}  // namespace vorpane::testing
