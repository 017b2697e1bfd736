// Python's format mini-language, as str.format applies it to the answers of a
// definition: the template's replacement fields ("{}", "{0}", "{ch_id}",
// conversions, formats) and format() of one value under a format. Python's
// rules throughout; the digits of 'e', 'f' and 'g' come from {fmt}, whose
// rules for them are Python's, the rest (shortest float text, '%', grouping,
// padding, the errors Python raises) is done here.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "instrument/definition/PyValue.h"

namespace tarvos::definition {

// One piece of a template as Python's string.Formatter().parse yields it:
// literal text, then an optional replacement field.
struct TemplatePiece {
    std::string literal;
    bool hasField = false;
    std::string fieldName;
    char conversion = 0;
    std::string formatSpec;
};

// Splits a template; false (with why) where Python raises ValueError
// ("Single '}' encountered in format string", ...).
bool ParseTemplate(std::string_view text, std::vector<TemplatePiece>& pieces, std::string* why = nullptr);

// format(value, format); false where Python raises.
bool FormatValue(const PyValue& value, std::string_view formatSpec, std::string& out);

using NamedValues = std::vector<std::pair<std::string, PyValue>>;

// template.format(*positional, **named); false where Python raises (a field
// that names no argument, an attribute or index access, a bad format).
bool FormatTemplate(std::string_view text, const std::vector<PyValue>& positional, const NamedValues& named,
                    std::string& out);

}  // namespace tarvos::definition
