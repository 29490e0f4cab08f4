#include "frames/header_keys.hpp"

#include <cstdio>
#include <string>

namespace skarvel {

namespace {

void number(std::vector<HeadKey>& out, std::string_view name, double value) {
    out.push_back({std::string(name), {value, ValueKind::kInt, 0}, {}});
}

void text(std::vector<HeadKey>& out, std::string_view name, std::string value) {
    out.push_back({std::string(name), {0, ValueKind::kText, 0}, std::move(value)});
}

}  // namespace

void header_keys(const BufrMessage& h, std::vector<HeadKey>& out) {
    const unsigned year = h.typical_year;
    number(out, "edition", h.edition);
    number(out, "masterTableNumber", h.master_table_number);
    if (h.edition >= 4) {
        number(out, "bufrHeaderCentre", h.originating_centre);
        number(out, "bufrHeaderSubCentre", h.originating_subcentre);
        number(out, "updateSequenceNumber", h.update_sequence_number);
        number(out, "dataCategory", h.data_category);
        number(out, "internationalDataSubCategory", h.international_data_subcategory);
        number(out, "dataSubCategory", h.local_data_subcategory);
        number(out, "masterTablesVersionNumber", h.master_tables_version_number);
        number(out, "localTablesVersionNumber", h.local_tables_version_number);
        number(out, "typicalYear", year);
        number(out, "typicalMonth", h.typical_month);
        number(out, "typicalDay", h.typical_day);
        number(out, "typicalHour", h.typical_hour);
        number(out, "typicalMinute", h.typical_minute);
        number(out, "typicalSecond", h.typical_second);
    } else {
        number(out, "bufrHeaderSubCentre", h.originating_subcentre);
        number(out, "bufrHeaderCentre", h.originating_centre);
        number(out, "updateSequenceNumber", h.update_sequence_number);
        number(out, "dataCategory", h.data_category);
        number(out, "dataSubCategory", h.local_data_subcategory);
        number(out, "masterTablesVersionNumber", h.master_tables_version_number);
        number(out, "localTablesVersionNumber", h.local_tables_version_number);
        number(out, "typicalYearOfCentury", year % 100 == 0 ? 100 : year % 100);
        number(out, "typicalMonth", h.typical_month);
        number(out, "typicalDay", h.typical_day);
        number(out, "typicalHour", h.typical_hour);
        number(out, "typicalMinute", h.typical_minute);
    }
    // A year written without its century (some producers do) dates in this century.
    char date[32];
    std::snprintf(date, sizeof date, "%04u%02u%02u", year < 100 ? year + 2000 : year,
                  unsigned{h.typical_month}, unsigned{h.typical_day});
    text(out, "typicalDate", date);
    char time[16];
    std::snprintf(time, sizeof time, "%02u%02u%02u", unsigned{h.typical_hour},
                  unsigned{h.typical_minute}, unsigned{h.typical_second});
    text(out, "typicalTime", time);
    number(out, "numberOfSubsets", h.number_of_subsets);
    number(out, "observedData", h.observed_data ? 1 : 0);
    number(out, "compressedData", h.compressed_data ? 1 : 0);
}

}  // namespace skarvel
