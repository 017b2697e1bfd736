#include "instrument/definition/PyValue.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tarvos::definition {

namespace {

bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

std::string_view Trim(std::string_view t)
{
    while (!t.empty() && IsSpace(t.front())) {
        t.remove_prefix(1);
    }
    while (!t.empty() && IsSpace(t.back())) {
        t.remove_suffix(1);
    }
    return t;
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// Digits of the base with single underscores between them; appends the
// digits without underscores.
bool TakeDigits(std::string_view t, int base, std::string& digits)
{
    if (t.empty() || t.front() == '_' || t.back() == '_') {
        return false;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '_') {
            if (t[i + 1] == '_') {
                return false;
            }
            continue;
        }
        if (DigitValue(t[i]) >= base) {
            return false;
        }
        digits += t[i];
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PyIntFromText(std::string_view text, int base, int64_t& value)
{
    std::string_view t = Trim(text);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    if (base != 10 && t.size() >= 2 && t[0] == '0') {
        const char p = static_cast<char>(t[1] | 0x20);
        if ((base == 16 && p == 'x') || (base == 8 && p == 'o') || (base == 2 && p == 'b')) {
            t.remove_prefix(2);
            // An underscore may follow the prefix.
            if (!t.empty() && t.front() == '_') {
                t.remove_prefix(1);
                if (t.empty() || t.front() == '_') {
                    return false;
                }
            }
        }
    }
    std::string digits;
    if (!TakeDigits(t, base, digits)) {
        return false;
    }
    uint64_t magnitude = 0;
    for (char c : digits) {
        const uint64_t d = static_cast<uint64_t>(DigitValue(c));
        if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / static_cast<uint64_t>(base)) {
            return false;
        }
        magnitude = magnitude * static_cast<uint64_t>(base) + d;
    }
    const uint64_t limit = negative ? uint64_t {1} << 63 : (uint64_t {1} << 63) - 1;
    if (magnitude > limit) {
        return false;
    }
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool PyFloatFromText(std::string_view text, double& value)
{
    std::string_view t = Trim(text);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    if (EqualsNoCase(t, "inf") || EqualsNoCase(t, "infinity")) {
        value = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    if (EqualsNoCase(t, "nan")) {
        value = negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    // mantissa: digits [. [digits]] | . digits ; then [eE [sign] digits]
    std::string clean;
    size_t exponentAt = t.find_first_of("eE");
    const std::string_view mantissa = t.substr(0, exponentAt);
    const size_t point = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
    if (whole.empty() && fraction.empty()) {
        return false;
    }
    if (!whole.empty() && !TakeDigits(whole, 10, clean)) {
        return false;
    }
    if (point != std::string_view::npos) {
        clean += '.';
        if (!fraction.empty() && !TakeDigits(fraction, 10, clean)) {
            return false;
        }
    }
    if (exponentAt != std::string_view::npos) {
        std::string_view e = t.substr(exponentAt + 1);
        clean += 'e';
        if (!e.empty() && (e.front() == '+' || e.front() == '-')) {
            clean += e.front();
            e.remove_prefix(1);
        }
        if (!TakeDigits(e, 10, clean)) {
            return false;
        }
    }
    double parsed = 0.0;
    const auto [end, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), parsed);
    if (end != clean.data() + clean.size()) {
        return false;
    }
    if (ec == std::errc::result_out_of_range) {
        // Python rounds to infinity or zero instead of refusing.
        std::string_view digitsOnly = clean;
        const bool tiny = digitsOnly.find("e-") != std::string_view::npos;
        parsed = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc()) {
        return false;
    }
    value = negative ? -parsed : parsed;
    return true;
}

bool PyEquals(const PyValue& a, const PyValue& b)
{
    using K = PyValue::Kind;
    const bool aNum = a.kind == K::Int || a.kind == K::Float;
    const bool bNum = b.kind == K::Int || b.kind == K::Float;
    if (aNum && bNum) {
        if (a.kind == K::Int && b.kind == K::Int) {
            return a.integer == b.integer;
        }
        const double x = a.kind == K::Int ? static_cast<double>(a.integer) : a.real;
        const double y = b.kind == K::Int ? static_cast<double>(b.integer) : b.real;
        return x == y;
    }
    if (a.kind == K::Str && b.kind == K::Str) {
        return a.text == b.text;
    }
    return false;
}

bool PyLess(const PyValue& a, const PyValue& b, bool& ok)
{
    using K = PyValue::Kind;
    ok = true;
    const bool aNum = a.kind == K::Int || a.kind == K::Float;
    const bool bNum = b.kind == K::Int || b.kind == K::Float;
    if (aNum && bNum) {
        if (a.kind == K::Int && b.kind == K::Int) {
            return a.integer < b.integer;
        }
        const double x = a.kind == K::Int ? static_cast<double>(a.integer) : a.real;
        const double y = b.kind == K::Int ? static_cast<double>(b.integer) : b.real;
        return x < y;
    }
    if (a.kind == K::Str && b.kind == K::Str) {
        // UTF-8 byte order is code point order.
        return a.text < b.text;
    }
    ok = false;
    return false;
}

bool PyToInt(const PyValue& v, PyValue& out)
{
    switch (v.kind) {
    case PyValue::Kind::Int:
        out = v;
        return true;
    case PyValue::Kind::Float:
        if (!std::isfinite(v.real) || std::fabs(v.real) >= 9.2e18) {
            return false;
        }
        out = PyValue::Int(static_cast<int64_t>(std::trunc(v.real)));
        return true;
    case PyValue::Kind::Str: {
        int64_t i = 0;
        if (!PyIntFromText(v.text, 10, i)) {
            return false;
        }
        out = PyValue::Int(i);
        return true;
    }
    case PyValue::Kind::Other:
        break;
    }
    return false;
}

bool PyToFloat(const PyValue& v, PyValue& out)
{
    switch (v.kind) {
    case PyValue::Kind::Int:
        out = PyValue::Float(static_cast<double>(v.integer));
        return true;
    case PyValue::Kind::Float:
        out = v;
        return true;
    case PyValue::Kind::Str: {
        double d = 0.0;
        if (!PyFloatFromText(v.text, d)) {
            return false;
        }
        out = PyValue::Float(d);
        return true;
    }
    case PyValue::Kind::Other:
        break;
    }
    return false;
}

PyValue PyToStr(const PyValue& v)
{
    return PyValue::Str(PyStr(v));
}

std::string PyFloatRepr(double v)
{
    if (std::isnan(v)) {
        return "nan";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), v, std::chars_format::scientific);
    const std::string sci(buffer, result.ptr);
    // sci: [-]d[.ddd]e(+|-)XX
    const size_t e = sci.find('e');
    std::string mantissa = sci.substr(0, e);
    const int exponent = std::stoi(sci.substr(e + 1));
    std::string sign;
    if (!mantissa.empty() && mantissa[0] == '-') {
        sign = "-";
        mantissa.erase(0, 1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }
    if (exponent >= -5 + 1 && exponent < 16) {
        std::string out;
        if (exponent < 0) {
            out = "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
        } else if (static_cast<int>(digits.size()) <= exponent + 1) {
            out = digits + std::string(static_cast<size_t>(exponent + 1) - digits.size(), '0') + ".0";
        } else {
            out = digits.substr(0, static_cast<size_t>(exponent + 1)) + "." +
                  digits.substr(static_cast<size_t>(exponent + 1));
        }
        return sign + out;
    }
    std::string out = digits.substr(0, 1);
    if (digits.size() > 1) {
        out += "." + digits.substr(1);
    }
    char exp[16];
    std::snprintf(exp, sizeof(exp), "e%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    return sign + out + exp;
}

std::string PyStr(const PyValue& v)
{
    switch (v.kind) {
    case PyValue::Kind::Int:
        return std::to_string(v.integer);
    case PyValue::Kind::Float:
        return PyFloatRepr(v.real);
    case PyValue::Kind::Str:
    case PyValue::Kind::Other:
        break;
    }
    return v.text;
}

std::string PyRepr(const PyValue& v)
{
    if (v.kind != PyValue::Kind::Str) {
        return PyStr(v);
    }
    const bool single = v.text.find('\'') != std::string::npos && v.text.find('"') == std::string::npos;
    const char quote = single ? '"' : '\'';
    std::string out(1, quote);
    for (unsigned char c : v.text) {
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quote;
    return out;
}

}  // namespace tarvos::definition
