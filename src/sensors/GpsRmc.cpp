#include "sensors/GpsRmc.h"

#include <ctime>

#include "platform/Clock.h"

namespace diviv::gps {

namespace {

bool TwoDigits(std::string_view s, size_t at, int* out) {
    const char a = s[at], b = s[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    *out = (a - '0') * 10 + (b - '0');
    return true;
}

}  // namespace

std::vector<std::string_view> SplitFields(std::string_view sentence) {
    const size_t end = sentence.find_first_of("*\r\n");
    if (end != std::string_view::npos) sentence = sentence.substr(0, end);
    std::vector<std::string_view> fields;
    size_t from = 0;
    while (true) {
        const size_t comma = sentence.find(',', from);
        fields.push_back(sentence.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    return fields;
}

bool ParseRmcTime(std::string_view field, RmcClock* out) {
    int hour = 0, min = 0, sec = 0;
    // A leap second reads 60.
    if (field.size() != 10 || !TwoDigits(field, 0, &hour) || !TwoDigits(field, 2, &min) ||
        !TwoDigits(field, 4, &sec) || hour > 23 || min > 59 || sec > 60)
        return false;
    out->hour = hour;
    out->min = min;
    out->sec = sec;
    return true;
}

bool ParseRmcDate(std::string_view field, RmcClock* out) {
    int mday = 0, month = 0, yy = 0;
    if (field.size() != 6 || !TwoDigits(field, 0, &mday) || !TwoDigits(field, 2, &month) ||
        !TwoDigits(field, 4, &yy) || mday < 1 || mday > 31 || month < 1 || month > 12)
        return false;
    out->mday = mday;
    out->mon = month - 1;
    out->year = yy + 100;
    return true;
}

int64_t RmcClockToUtc(const RmcClock& c) {
    std::tm tm{};
    tm.tm_year = c.year;
    tm.tm_mon = c.mon;
    tm.tm_mday = c.mday;
    tm.tm_hour = c.hour;
    tm.tm_min = c.min;
    tm.tm_sec = c.sec;
    return diviv::UtcSeconds(tm);
}

bool ReadRmcClock(std::string_view sentence, RmcClock* out, std::string* bad_field) {
    const std::vector<std::string_view> f = SplitFields(sentence);
    auto fail = [&](size_t index) {
        *bad_field = index < f.size() ? std::string(f[index]) : std::string();
        return false;
    };
    RmcClock c;
    if (f.size() <= kRmcTimeField || !ParseRmcTime(f[kRmcTimeField], &c)) return fail(kRmcTimeField);
    if (f.size() <= kRmcDateField || !ParseRmcDate(f[kRmcDateField], &c)) return fail(kRmcDateField);
    *out = c;
    return true;
}

}  // namespace diviv::gps
