// The formatter and the pattern matcher of definition files against Python's
// own answers (DefinitionCases.inc, made by make_definition_cases.py with
// /usr/bin/python3 and the reference pattern parser).
#include <chrono>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "instrument/definition/Pattern.h"
#include "instrument/definition/PyFormat.h"

namespace {

using tarvos::definition::FormatTemplate;
using tarvos::definition::FormatValue;
using tarvos::definition::Pattern;
using tarvos::definition::PyFloatFromText;
using tarvos::definition::PyIntFromText;
using tarvos::definition::PyStr;
using tarvos::definition::PyValue;

struct FormatCase {
    char kind;
    const char* value;
    const char* format;
    bool ok;
    const char* expected;
};

struct FieldCase {
    const char* name;
    char kind;
    const char* text;
};

struct PatternCase {
    const char* pattern;
    bool compiles;
    const char* input;
    bool matches;
    std::vector<FieldCase> fields;
};

#include "DefinitionCases.inc"

PyValue ValueOf(char kind, const std::string& text)
{
    if (kind == 'i') {
        int64_t i = 0;
        EXPECT_TRUE(PyIntFromText(text, 10, i)) << text;
        return PyValue::Int(i);
    }
    if (kind == 'f') {
        double d = 0;
        EXPECT_TRUE(PyFloatFromText(text, d)) << text;
        return PyValue::Float(d);
    }
    return PyValue::Str(text);
}

std::string Show(const FormatCase& c)
{
    return std::string("format(") + c.kind + ":" + c.value + ", '" + c.format + "')";
}

TEST(DefinitionFormat, FormatsEveryValueInEveryFormatAsPythonDoes)
{
    size_t failures = 0;
    for (const FormatCase& c : kFormatCases) {
        std::string out;
        const bool ok = FormatValue(ValueOf(c.kind, c.value), c.format, out);
        if (ok != c.ok || (ok && out != c.expected)) {
            ++failures;
            ADD_FAILURE() << Show(c) << ": Python " << (c.ok ? "'" + std::string(c.expected) + "'" : "raises")
                          << ", here " << (ok ? "'" + out + "'" : "refused");
        }
        if (failures > 40) {
            break;
        }
    }
}

TEST(DefinitionFormat, FieldsWiderOrMorePreciseThanTheBoundAreRefusedInsteadOfFillingMemory)
{
    std::string out;
    EXPECT_TRUE(FormatValue(PyValue::Float(1.5), "100000", out));
    EXPECT_EQ(out.size(), 100000u);
    EXPECT_TRUE(FormatValue(PyValue::Float(1.5), ".100000f", out));
    EXPECT_EQ(out.size(), 100002u);
    // A fuzzed answer template once asked for 777,777,777 characters per query.
    for (const char* format : {"+777777777.8943165", "100001", ".100001f", "x^100001s"}) {
        EXPECT_FALSE(FormatValue(PyValue::Float(1.5), format, out)) << format;
        EXPECT_FALSE(FormatValue(PyValue::Str("a"), format, out)) << format;
    }
    EXPECT_FALSE(FormatTemplate("{:+777777777.8943165}:", {PyValue::Float(2.0)}, {}, out));
}

TEST(DefinitionFormat, FixedPointPastTheExactDigitsOfADoubleEndsInZerosAsPythonDoes)
{
    // Python writes the exact expansion of the double, then zeros; no digit
    // is lost however many are asked for.
    std::string out;
    ASSERT_TRUE(FormatValue(PyValue::Float(1.5), ".1000f", out));
    EXPECT_EQ(out, "1.5" + std::string(999, '0'));
    ASSERT_TRUE(FormatValue(PyValue::Float(0.1), ".800F", out));
    EXPECT_EQ(out, "0.1000000000000000055511151231257827021181583404541015625" + std::string(800 - 55, '0'));
    ASSERT_TRUE(FormatValue(PyValue::Float(-5e-324), ".1100f", out));
    ASSERT_EQ(out.size(), 1103u);
    EXPECT_EQ(out.substr(0, 3 + 323 + 10), "-0." + std::string(323, '0') + "4940656458");
    EXPECT_EQ(out.substr(1077 - 9, 9 + 26), "447265625" + std::string(26, '0'));
    ASSERT_TRUE(FormatValue(PyValue::Float(2.0), ".770%", out));
    EXPECT_EQ(out, "200." + std::string(770, '0') + "%");
}

TEST(DefinitionFormat, FillsTemplatesAsStrFormatDoes)
{
    for (const FormatCase& c : kTemplateCases) {
        std::string out;
        const bool ok = FormatTemplate(c.format, {ValueOf(c.kind, c.value)}, {}, out);
        EXPECT_EQ(ok, c.ok) << "'" << c.format << "'.format(" << c.value << ")";
        if (ok && c.ok) {
            EXPECT_EQ(out, c.expected) << "'" << c.format << "'.format(" << c.value << ")";
        }
    }
}

TEST(DefinitionPattern, AcceptsAndCapturesExactlyWhatTheReferenceParserDoes)
{
    Pattern pattern;
    std::string compiled;
    bool compiles = false;
    for (const PatternCase& c : kPatternCases) {
        if (compiled != c.pattern) {
            std::string why;
            compiled = c.pattern;
            compiles = pattern.Compile(c.pattern, why);
            EXPECT_EQ(compiles, c.compiles) << "pattern '" << c.pattern << "': " << why;
            continue;
        }
        if (!compiles) {
            continue;
        }
        Pattern::Fields fields;
        const bool matches = pattern.Match(c.input, fields);
        EXPECT_EQ(matches, c.matches) << "'" << c.pattern << "' on '" << c.input << "'";
        if (!matches || !c.matches) {
            continue;
        }
        ASSERT_EQ(fields.size(), c.fields.size()) << "'" << c.pattern << "' on '" << c.input << "'";
        for (size_t i = 0; i < fields.size(); ++i) {
            const PyValue expected = ValueOf(c.fields[i].kind, c.fields[i].text);
            EXPECT_EQ(fields[i].first, c.fields[i].name) << c.pattern << " on " << c.input;
            EXPECT_EQ(static_cast<int>(fields[i].second.kind), static_cast<int>(expected.kind))
                << c.pattern << " on " << c.input << " field " << i;
            EXPECT_EQ(PyStr(fields[i].second), PyStr(expected)) << c.pattern << " on " << c.input << " field " << i;
        }
    }
}

TEST(DefinitionPattern, AdjacentFreeFieldsAnswerAtOnceWhereBacktrackingWouldTakeAges)
{
    // Twenty free fields before a literal can split 60 bytes in some 10^18
    // ways; trying them one after the other (as the reference parser does,
    // which doesn't answer 24 bytes within 20 s) never ends.
    std::string text;
    for (int i = 0; i < 20; ++i) {
        text += "{}";
    }
    text += "X";
    Pattern pattern;
    std::string why;
    ASSERT_TRUE(pattern.Compile(text, why)) << why;
    Pattern::Fields fields;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pattern.Match(std::string(60, 'a'), fields));
    EXPECT_FALSE(pattern.Match(std::string(60, 'a') + "Y", fields));
    // Where it matches, each field takes as little as the rest allows, as
    // the reference parser splits it: nineteen empty fields and the rest.
    ASSERT_TRUE(pattern.Match(std::string(60, 'a') + "X", fields));
    ASSERT_EQ(fields.size(), 20u);
    for (size_t i = 0; i + 1 < fields.size(); ++i) {
        EXPECT_EQ(PyStr(fields[i].second), "") << "field " << i;
    }
    EXPECT_EQ(PyStr(fields.back().second), std::string(60, 'a'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(DefinitionConversions, ReadNumbersAsPythonIntAndFloatDo)
{
    int64_t i = 0;
    EXPECT_TRUE(PyIntFromText(" +1_000 ", 10, i));
    EXPECT_EQ(i, 1000);
    EXPECT_FALSE(PyIntFromText("1__0", 10, i));
    EXPECT_FALSE(PyIntFromText("_1", 10, i));
    EXPECT_FALSE(PyIntFromText("1.0", 10, i));
    EXPECT_FALSE(PyIntFromText("", 10, i));
    EXPECT_TRUE(PyIntFromText("0x_1f", 16, i));
    EXPECT_EQ(i, 31);
    double d = 0;
    EXPECT_TRUE(PyFloatFromText("\t-1_0.5e1_0 ", d));
    EXPECT_EQ(d, -10.5e10);
    EXPECT_TRUE(PyFloatFromText("-Infinity", d));
    EXPECT_TRUE(std::isinf(d) && d < 0);
    EXPECT_TRUE(PyFloatFromText(".5", d));
    EXPECT_TRUE(PyFloatFromText("5.", d));
    EXPECT_FALSE(PyFloatFromText(".", d));
    EXPECT_FALSE(PyFloatFromText("1_.5", d));
    EXPECT_FALSE(PyFloatFromText("0x10", d));
    EXPECT_FALSE(PyFloatFromText("1e", d));
    EXPECT_TRUE(PyFloatFromText("1e999", d));
    EXPECT_TRUE(std::isinf(d));
}

}  // namespace
