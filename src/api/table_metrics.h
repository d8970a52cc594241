// How the tables appear on /metrics: one family per numeric attribute, named after the application
// and attribute group (never the table code or the release, so that a release change keeps every
// name), in the Prometheus base unit of the attribute's declared unit, one sample per series from the
// newest row of that series. Pure functions of table descriptions and report rows; the page
// (metrics_page.cc) fetches the rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/prometheus_text.h"
#include "interfaces/axf_facade.h"

namespace vorpane::api {

// A unit an attribute may declare, and how its values become the base unit: value × multiplier /
// 10^shift, written with the base unit's name at the end of the metric's name.
struct UnitRule {
    std::string_view unit;  // as declared ("KiB")
    std::string_view suffix;  // the words of the base unit's name ("bytes", "bytes_per_second")
    int64_t multiplier = 1;
    int shift = 0;
    bool countable = false;  // a count that only grows may be of it: sizes and durations
};

// The rule of a declared unit, spelled as common/units.h lists it; null for "" and for a unit the
// page does not know, whose values and names stay as they are.
const UnitRule* unitRule(std::string_view unit);

// What one attribute becomes.
struct AttributeMetric {
    std::string name;  // the family's name
    bool counter = false;
    const UnitRule* unit = nullptr;  // the unit its values are converted from (null: as they are)
};
// The family of a numeric attribute of a table: vorpane_<application>_<group>_<attribute>, lower
// case, in its base unit, "_total" on a counter.
AttributeMetric attributeMetric(std::string_view application, std::string_view group, char sampleType,
                                const axf::ColumnDesc& column);

// A stored integer of a column in the base unit of rule (null: as stored), as exact decimal text.
std::string baseUnitText(int64_t value, int scale, const UnitRule* rule);

// The source of a row: its ORIGINNODE without the ":<APPLICATION><RR>" the agent puts after the
// source's name, so that a series keeps its labels across a release change.
std::string sourceOfOrigin(std::string_view originNode, std::string_view application);

// The families of one table's report. Families whose names were taken before (by the agent's own or
// an earlier table) are left out, and so is a table without an ORIGINNODE column.
void tableFamilies(const axf::TableDesc& table, const std::vector<axf::ColumnDesc>& columns,
                   const axf::ReportRows& rows, PrometheusText& out);

}  // namespace vorpane::api
