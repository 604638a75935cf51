// lighting-render's command line: every scene value rounded once to the
// nearest float, counts read as integers, empty values named, --version, and
// the one thread rule.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "float_bits.hpp"
#include "option_errors.hpp"
#include "options.hpp"
#include "output_file.hpp"
#include "pipeline.hpp"

namespace {

using lighting_test::bits;

using lighting_test::parse_error;

// Every option that takes floats, and how to read component `index` back.
struct FloatOption {
  const char* name;
  int components;  // 3 for a triple, 1 for --intensity
  float (*read)(const render::Scene&, int index);
};

float component(const lighting::Vector3& v, int index) {
  return index == 0 ? v.x : index == 1 ? v.y : v.z;
}

const FloatOption kFloatOptions[] = {
    {"--point", 3, [](const render::Scene& s, int i) { return component(s.point, i); }},
    {"--normal", 3, [](const render::Scene& s, int i) { return component(s.normal, i); }},
    {"--reflectance", 3, [](const render::Scene& s, int i) { return component(s.reflectance, i); }},
    {"--light-position", 3,
     [](const render::Scene& s, int i) { return component(s.light.position, i); }},
    {"--light-colour", 3,
     [](const render::Scene& s, int i) {
       return i == 0 ? s.light.r : i == 1 ? s.light.g : s.light.b;
     }},
    {"--intensity", 1, [](const render::Scene& s, int) { return s.light.intensity; }},
};

// `text` as component `index` of the option, the others 1.
std::string value_with(const FloatOption& option, int index, const std::string& text) {
  if (option.components == 1) return text;
  std::string value;
  for (int i = 0; i < 3; ++i) value += (i > 0 ? "," : "") + (i == index ? text : "1");
  return value;
}

// Decimals on and beside midpoints between two floats. Those beside one lie
// so close to it that their nearest double is the midpoint itself: rounded
// through a double, they would tie to even, one float off.
struct Rounding {
  const char* text;
  std::uint32_t expected;
};
const Rounding kRoundings[] = {
    {"1.000000059604644775390625", 0x3F800000u},  // 1 + 2^-24: a tie, down to even
    {"1.0000000596046448", 0x3F800001u},          // just above it: up
    {"-1.0000000596046448", 0xBF800001u},
    {"1.000000178813934326171875", 0x3F800002u},  // 1 + 3 * 2^-24: a tie, up to even
    {"1.0000001788139343", 0x3F800001u},          // just below it: down
    {"16777217", 0x4B800000u},                    // 2^24 + 1: a tie, down to even
    {"16777217.000000001", 0x4B800001u},          // just above it: up
    {"1152921573326323713", 0x5D800001u},         // 2^60 + 2^36 + 1: above the tie
    // Just below the midpoint above FLT_MAX: FLT_MAX, not overflow.
    {"340282356779733661637539395458142568447", 0x7F7FFFFFu},
    {"-340282356779733661637539395458142568447", 0xFF7FFFFFu},
    // Just above the midpoint below the least normal float: that float.
    {"1.1754942807573643e-38", 0x00800000u},
};

TEST(OptionsRounding, EveryFloatOptionTakesTheNearestFloatRoundedOnce) {
  for (const FloatOption& option : kFloatOptions) {
    for (int index = 0; index < option.components; ++index) {
      for (const Rounding& rounding : kRoundings) {
        const std::string value = value_with(option, index, rounding.text);
        const auto options = render::parse_options({option.name, value});
        EXPECT_EQ(bits(option.read(options.scene, index)), rounding.expected)
            << option.name << " " << value;
      }
    }
  }
}

TEST(OptionsRounding, ValuesWhoseNearestFloatIsOutOfRangeAreRefusedByEveryFloatOption) {
  const char* const refused[] = {
      "340282356779733661637539395458142568448",  // the midpoint above FLT_MAX: to infinity
      "-340282356779733661637539395458142568448",
      // Just below the midpoint under the least normal float, where a double
      // lands on the midpoint itself and would round up to a normal float.
      "1.1754942807573642917e-38",
      "7.006492321624085e-46",  // just below half the least subnormal: to 0
  };
  for (const FloatOption& option : kFloatOptions) {
    for (const char* text : refused) {
      const std::string message = parse_error({option.name, value_with(option, 0, text)});
      EXPECT_NE(message.find("outside single precision's normal range"), std::string::npos)
          << option.name << " " << text << ": " << message;
    }
  }
}

TEST(OptionsRounding, ZeroInAnySpellingIsZeroWithItsSign) {
  for (const char* text : {"0", "0.000", "0e999", "+0", "0e-999"}) {
    EXPECT_EQ(bits(render::parse_options({"--intensity", text}).scene.light.intensity), 0u) << text;
  }
  for (const char* text : {"-0", "-0.0e-50", "-000"}) {
    EXPECT_EQ(bits(render::parse_options({"--intensity", text}).scene.light.intensity), 0x80000000u)
        << text;
  }
}

TEST(OptionsIntegers, CountsAreReadAsIntegersAndSaySo) {
  for (const char* option : {"--width", "--height", "--threads"}) {
    const std::string name = option;
    EXPECT_EQ(parse_error({option, "1e4000"}), name + ": '1e4000' is not an integer");
    EXPECT_EQ(parse_error({option, "1e3"}), name + ": '1e3' is not an integer");
    EXPECT_EQ(parse_error({option, "2.0"}), name + ": '2.0' is not an integer");
    EXPECT_EQ(parse_error({option, " 2"}), name + ": ' 2' is not an integer");
    EXPECT_EQ(parse_error({option, "0x10"}), name + ": '0x10' is not an integer");
    const std::string high = name == "--threads" ? "1024" : "16384";
    for (const char* text :
         {"0", "-1", "-0", "99999999999999999999999999", "-99999999999999999999"}) {
      EXPECT_EQ(parse_error({option, text}),
                name + ": '" + text + "' is out of range (integers 1 to " + high + ")");
    }
    EXPECT_EQ(parse_error({option, "+7"}), "") << option;
    EXPECT_EQ(parse_error({option, "007"}), "") << option;
  }
  EXPECT_EQ(render::parse_options({"--width", "16384"}).width, 16384);
  EXPECT_EQ(render::parse_options({"--threads", "+1024"}).threads, 1024);
}

TEST(OptionsEmpty, AnEmptyValueIsNamedAsEmptyInBothSpellings) {
  for (const char* option :
       {"--point", "--normal", "--reflectance", "--light-position", "--light-colour", "--intensity",
        "--width", "--height", "--extent", "--exposure", "--threads", "-o", "--output", "--format",
        "--compression"}) {
    const std::string expected = std::string(option) + ": the value is empty";
    EXPECT_EQ(parse_error({option, ""}), expected);
    if (std::string(option) != "-o") {
      EXPECT_EQ(parse_error({std::string(option) + "="}), expected);
    }
  }
}

TEST(OptionsEmpty, ALongValueIsShownCut) {
  const std::string long_value(100000, '7');
  if (render::printable_name(long_value).size() >= long_value.size()) {
    GTEST_SKIP() << "printable_name does not cut long values in this build";
  }
  for (const char* option : {"--width", "--intensity", "--point", "--format"}) {
    const std::string message = parse_error({option, long_value});
    EXPECT_NE(message, "") << option;
    EXPECT_LT(message.size(), 1000u) << option;
  }
}

TEST(OptionsVersion, VersionIsAskedForAndTheHelpWins) {
  EXPECT_TRUE(render::parse_options({"--version"}).version);
  EXPECT_FALSE(render::parse_options({"--version"}).help);
  // Whatever else is wrong with the line.
  EXPECT_TRUE(render::parse_options({"--width", "0", "--version"}).version);
  EXPECT_TRUE(render::parse_options({"--frobnicate", "--version"}).version);
  const auto both = render::parse_options({"--version", "--help"});
  EXPECT_TRUE(both.help);
  EXPECT_FALSE(both.version);
  // A value that reads "--version" is the value.
  EXPECT_FALSE(render::parse_options({"-o", "--version"}).version);
  EXPECT_EQ(render::parse_options({"-o", "--version"}).output, "--version");
  EXPECT_FALSE(render::parse_options({}).version);
}

TEST(OptionsVersion, VersionTextIsTheProjectsVersion) {
  EXPECT_EQ(render::version_text(),
            std::string("lighting-render ") + LIGHTING_PROJECT_VERSION "\n");
  EXPECT_TRUE(std::regex_match(render::version_text(),
                               std::regex("lighting-render [0-9]+\\.[0-9]+\\.[0-9]+\n")));
}

TEST(ThreadCount, TheOptionWinsThenTheVariableThenTheCores) {
  const int cores = render::usable_threads(1 << 20);
  const auto capped = [cores](int count) { return std::min(count, cores); };
  EXPECT_EQ(render::thread_count(3, "1").threads, capped(3));
  EXPECT_EQ(render::thread_count(3, "abc").warning, "");  // not read at all
  EXPECT_EQ(render::thread_count(std::nullopt, nullptr).threads, cores);
  EXPECT_EQ(render::thread_count(std::nullopt, "").threads, cores);
  EXPECT_EQ(render::thread_count(std::nullopt, "1").threads, 1);
  EXPECT_EQ(render::thread_count(std::nullopt, " 2\t").threads, capped(2));
  EXPECT_EQ(render::thread_count(std::nullopt, "5000").threads, cores);
  const auto huge = render::thread_count(std::nullopt, "99999999999999999999999");
  EXPECT_EQ(huge.threads, cores);
  EXPECT_EQ(huge.warning, "");
  for (const char* valid : {"1", " 2\t", "5000", ""}) {
    EXPECT_EQ(render::thread_count(std::nullopt, valid).warning, "") << valid;
  }
}

TEST(ThreadCount, AnInvalidVariableIsIgnoredWithOneLineOfWarning) {
  const int cores = render::usable_threads(1 << 20);
  const std::string using_cores =
      "using " + std::to_string(cores) + (cores == 1 ? " thread" : " threads");
  for (const char* invalid : {"abc", "0", "-1", "-0", "2,3", "1.5", "4x", " "}) {
    const auto count = render::thread_count(std::nullopt, invalid);
    EXPECT_EQ(count.threads, cores) << invalid;
    EXPECT_EQ(count.warning, std::string("OMP_NUM_THREADS=") + "'" + invalid +
                                 "' is not an integer of 1 or more: ignored, " + using_cores);
  }
  const auto escaped = render::thread_count(std::nullopt, "2\n\x1b[2J");
  EXPECT_EQ(escaped.threads, cores);
  EXPECT_EQ(escaped.warning.find_first_of("\n\x1b"), std::string::npos) << escaped.warning;
  EXPECT_NE(escaped.warning.find(render::printable_name("2\n\x1b[2J")), std::string::npos);
}

}  // namespace
