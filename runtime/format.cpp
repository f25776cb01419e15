#include "runtime/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nodrix::fmt {
namespace {

std::string stars(int w) { return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

std::string fit_right(const std::string& s, int w) {
    if (static_cast<int>(s.size()) > w) return stars(w);
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// Fixed or scientific form with `digits` significant digits, without padding.
std::string list_number(double v, int digits) {
    digits = digits < 1 ? 1 : (digits > 30 ? 30 : digits);
    char buf[96];
    if (v == 0.0) {
        std::snprintf(buf, sizeof buf, "%.*f", digits - 1, 0.0);
        return buf;
    }
    if (!std::isfinite(v)) {
        std::snprintf(buf, sizeof buf, "%s", std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"));
        return buf;
    }
    // Decide the form from the value rounded to the wanted digits.
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
    const int exp10 = std::atoi(std::strchr(buf, 'e') + 1);
    if (exp10 >= -1 && exp10 < digits) {
        std::snprintf(buf, sizeof buf, "%.*f", digits - 1 - exp10, v);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%.*E", digits - 1, v);
    return buf;
}

}  // namespace

std::string I(std::int64_t v, int w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    return fit_right(buf, w);
}

std::string E(double v, int w, int d) {
    if (!std::isfinite(v)) return fit_right(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"), w);
    std::string mant;
    int exponent = 0;
    const bool negative = std::signbit(v) && v != 0.0;
    if (v == 0.0) {
        mant = std::string(static_cast<std::size_t>(d), '0');
    } else {
        // d significant digits: printf gives x.yyy e+n, the Fortran form is 0.xyyy E+(n+1).
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", d > 0 ? d - 1 : 0, std::fabs(v));
        const char* e = std::strchr(buf, 'e');
        for (const char* p = buf; p < e; ++p)
            if (*p != '.') mant += *p;
        exponent = std::atoi(e + 1) + 1;
        if (d == 0) mant.clear();
    }
    char ebuf[16];
    const int aexp = std::abs(exponent);
    if (aexp <= 99)
        std::snprintf(ebuf, sizeof ebuf, "E%c%02d", exponent < 0 ? '-' : '+', aexp);
    else
        std::snprintf(ebuf, sizeof ebuf, "%c%03d", exponent < 0 ? '-' : '+', aexp);
    std::string body = "0." + mant + ebuf;
    if (negative) body = "-" + body;
    if (static_cast<int>(body.size()) > w) {
        // The leading zero is optional.
        const std::size_t zero = negative ? 1 : 0;
        body.erase(zero, 1);
    }
    return fit_right(body, w);
}

std::string F(double v, int w, int d) {
    if (!std::isfinite(v)) return fit_right(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"), w);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.*f", d, v);
    std::string s = buf;
    if (static_cast<int>(s.size()) > w) {
        if (s.rfind("0.", 0) == 0)
            s.erase(0, 1);
        else if (s.rfind("-0.", 0) == 0)
            s.erase(1, 1);
    }
    return fit_right(s, w);
}

std::string A(std::string_view text, int w) {
    std::string s(text.substr(0, static_cast<std::size_t>(w)));
    s.resize(static_cast<std::size_t>(w), ' ');
    return s;
}

std::string A_right(std::string_view text, int w) {
    if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, static_cast<std::size_t>(w)));
    return std::string(static_cast<std::size_t>(w) - text.size(), ' ') + std::string(text);
}

std::string list_int(std::int64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " %lld", static_cast<long long>(v));
    return buf;
}

std::string list_real(float v) { return " " + list_number(static_cast<double>(v), 9); }

std::string list_double(double v) { return " " + list_number(v, 17); }

std::string list_real_field(float v, int w) { return A(list_real(v), w); }

std::string list_double_field(double v, int w) { return A(list_double(v), w); }

}  // namespace nodrix::fmt
