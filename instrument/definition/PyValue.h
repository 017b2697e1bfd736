// The values a definition's properties hold, with the conversions between
// them and text that the definition format takes from Python: int() and
// float() of a text, str() and repr() of a value. A property is typed int,
// float or str by its type, or holds whatever its setter's pattern produced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvos::definition {

struct PyValue {
    enum class Kind : uint8_t { Int, Float, Str, Other };
    Kind kind = Kind::Str;
    int64_t integer = 0;
    double real = 0.0;
    // The text of a Str, or how an Other shows itself (str() of a container).
    std::string text;

    static PyValue Int(int64_t v)
    {
        PyValue p;
        p.kind = Kind::Int;
        p.integer = v;
        return p;
    }
    static PyValue Float(double v)
    {
        PyValue p;
        p.kind = Kind::Float;
        p.real = v;
        return p;
    }
    static PyValue Str(std::string v)
    {
        PyValue p;
        p.kind = Kind::Str;
        p.text = std::move(v);
        return p;
    }
    static PyValue Other(std::string shown)
    {
        PyValue p;
        p.kind = Kind::Other;
        p.text = std::move(shown);
        return p;
    }
};

// The length of the UTF-8 sequence that starts with this byte (1 for a byte
// that starts none): what Python counts as one character.
inline size_t Utf8SequenceLength(unsigned char lead)
{
    if (lead >= 0xF0 && lead < 0xF8) {
        return 4;
    }
    if (lead >= 0xE0) {
        return lead < 0xF0 ? 3 : 1;
    }
    return lead >= 0xC0 ? 2 : 1;
}

// Python's == between two values (1 == 1.0, never 1 == "1"; NaN equals nothing).
bool PyEquals(const PyValue& a, const PyValue& b);
// Python's < between two values of one kind (numbers with numbers, text with
// text by code point); false with ok false when Python would refuse to compare.
bool PyLess(const PyValue& a, const PyValue& b, bool& ok);

// int(text) in base 10, or int(text, base) for 2, 8 and 16 (a matching prefix
// allowed): surrounding whitespace, one sign, digits with single underscores
// between them. False when Python raises (also past 64 bits).
bool PyIntFromText(std::string_view text, int base, int64_t& value);
// float(text): surrounding whitespace, a sign, decimal digits with
// underscores, an exponent, inf, infinity, nan in any case.
bool PyFloatFromText(std::string_view text, double& value);

// The conversions of the three property types: int(v), float(v), str(v).
bool PyToInt(const PyValue& v, PyValue& out);
bool PyToFloat(const PyValue& v, PyValue& out);
PyValue PyToStr(const PyValue& v);

// repr() of a float: the shortest text that reads back to it, in fixed
// notation with at least one decimal for exponents -4 to 15, else as
// d.ddde+XX.
std::string PyFloatRepr(double v);
// str() of a value (of a float: its repr()).
std::string PyStr(const PyValue& v);
// repr() of a value (text in quotes).
std::string PyRepr(const PyValue& v);

}  // namespace tarvos::definition
