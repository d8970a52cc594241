// A data message as the hub sends it to a collection thread: source, control field, one value per
// attribute.
#pragma once

#include <cstdint>
#include <string>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"

namespace vorpane::datapath::testing {

class Delivery {
  public:
    Delivery(const std::string& source, int16_t control) {
        _m.text(DCH_sourceName, source).int16(DCH_controlField, control);
    }
    Delivery& text(const std::string& v) {
        _m.add(DCH_attrTypeValue, v.data(), v.size(), 'D');
        return *this;
    }
    Delivery& number(int32_t v) {
        _m.add(DCH_attrTypeValue, reinterpret_cast<const char*>(&v), 4, 'C');
        return *this;
    }
    Delivery& none() {
        _m.add(DCH_attrTypeValue, "", 0, 'D');
        return *this;
    }
    const char* data() const { return _m.data(); }
    std::size_t size() const { return _m.size(); }

  private:
    dch::MessageBuilder _m;
};

}  // namespace vorpane::datapath::testing
