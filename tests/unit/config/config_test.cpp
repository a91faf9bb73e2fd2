#include <gtest/gtest.h>

#include "config/config.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

const auto case_name = [](const auto& info) { return std::string(std::get<0>(info.param)); };
const auto days = [](std::string v) { return "dbt-plan: {max-window-expansion-days: " + v + "}"; };
const auto days_error = [](std::string s) { return s + ", expected i64 at line 1 column 39"; };

/// "command|<arg>...|against|days | warning...", or the message.
std::string effective(const LayeredConfig& config, const SettingOptions& options = {}) {
  const auto s = resolve_settings(options, config);
  std::string shown = s ? s->dbt_command + "|" : s.error();
  for (const std::string& word : s ? s->dbt_args : std::vector<std::string>{}) {
    shown += "<" + word + ">";
  }
  shown += s ? "|" + s->against + "|" + std::to_string(s->max_window_expansion_days) : "";
  for (const std::string& warning : s ? config.warnings : std::vector<std::string>{}) {
    shown += " | " + warning;
  }
  return shown;
}

/// Name, text, and the settings it gives alone or its message.
using Case = std::tuple<const char*, std::string, std::string>;
class ParseTarnYml : public ::testing::TestWithParam<Case> {};

TEST_P(ParseTarnYml, GivesTheSettingsOfTheFileAloneOrItsMessage) {
  const auto& [name, text, expected] = GetParam();
  const auto y = parse_tarn_yml(text);
  EXPECT_EQ(
      y ? effective({y->against, y->dbt_command, y->dbt_args, y->max_window_expansion_days, {}})
        : y.error(),
      expected);
}

/// 2^60 scalars if anything expanded its aliases.
std::string alias_bomb(int n = 60) {
  const std::string a = "a" + std::to_string(n), b = " *a" + std::to_string(n - 1);
  return (n ? alias_bomb(n - 1) + a + ": &" + a + " [" + b + "," + b : "a0: &a0 [x") + "]\n";
}

const std::string plain = "dbt||master|";      // the defaults but the limit
const std::string i64 = "922337203685477580";  // the digits of 2^63 but the last
const std::string sequence = "invalid type: sequence, expected a string at line ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ParseTarnYml, ::testing::ValuesIn(std::vector<Case>{
    {"ScalarsReadAsTheirTextOtherKeysSkipped", "--- !!map\na: &x one\nb: &x 5\nagainst: *x\n"
     "Against: x\np: {against: b}\n? [k]\n: v\n~: n\ndbt-command: !!str nULL\ndbt-args: >-\n  a\n"
     "  b\n" + days("!!int -0xfF"), "nULL|<a><b>|5|-255"},
    {"OnlyPlainNullsAreNull", "against: \"null\"\ndbt-command: '~'\ndbt-args: !!str\n" +
     days("NULL"), "~||null|90"},
    {"NoDocument", "# c\n", plain + "90"}, {"NullDocument", "--- Null\n...\n", plain + "90"},
    {"Min", days("-0x8000000000000000"), plain + "-9223372036854775808"},
    {"AboveI64", days(i64 + "8"), days_error("invalid value: integer `" + i64 + "8`")},
    {"BelowI64", days("-" + i64 + "9"), days_error("invalid value: integer `-" + i64 + "9`")},
    {"Float", days("-1.5e3"), days_error("invalid type: floating point `-1.5e3`")},
    {"Quoted", days("'1'"), days_error("invalid type: string \"1\"")},
    {"BarePrefix", days("0x"), days_error("invalid type: string \"0x\"")},
    {"Boolean", days("True"), days_error("invalid type: boolean `True`")},
    {"Map", days("{}"), days_error("invalid type: map")},
    {"IntegerForSection", "dbt-plan: 30",
     "invalid type: integer `30`, expected struct DbtPlanLayer at line 1 column 11"},
    {"StringForDocument", "'a'",
     "invalid type: string \"a\", expected struct TarnYml at line 1 column 1"},
    {"RepeatedKey", "against: a\nagainst: b\n", "duplicate field `against` at line 2 column 1"},
    {"TwoDocuments", "a: 1\n---\na: 2\n", "deserializing from YAML containing more than one "
     "document is not supported at line 2 column 1"},
    {"UnclosedQuote", "a: \"b\n",
     "found unexpected end of stream while scanning a quoted scalar at line 2 column 1"},
    {"InvalidUtf8", "\na: \xC3\xA9\xFF", "invalid leading UTF-8 octet at line 2 column 5"},
    {"SelfReference", "x: &loop {k: *loop}\n", "unknown anchor at line 1 column 14"},
    {"AliasBombNeverExpanded", alias_bomb() + "against: *a60", sequence + "62 column 10"},
    {"OneLevelTooDeep", "x: " + std::string(128, '['),
     "recursion limit exceeded: more than 128 nested levels at line 1 column 131"}}),
    case_name);
// clang-format on

/// Projects side by side; "->x" is a link to x, a trailing "/" a directory.
// clang-format off
const std::pair<std::string, std::string> tree[] = {
    {"r/.git/", ""}, {"r/tarn.yml", "against: r\ndbt-args: --ci 'a b'\n" + days("0b11110, x: 1")},
    {"r/p/tarn.yml", "against: dev\ndbt-plan: {x: 2}\n"}, {"r/s/tarn.yml", "dbt-command: s\n"},
    {"solo/tarn.yml", "against: solo\n"}, {"solo/p/tarn.yml", days("+0o020")},
    {"file/.git", "gitdir: x\n"}, {"file/tarn.yml", "against: file\ndbt-plan: ~\n"},
    {"file/p/.git", "->nowhere"}, {"file/p/tarn.yml", "->x"}, {"dir/tarn.yml/", ""},
    {"broken/.git/", ""}, {"broken/tarn.yml", "against: [x]\nagainst: b"},
    {"broken/p/tarn.yml", "{"}, {"latin1/tarn.yml", "a: caf\xE9\n"},
    {"opts/tarn.yml", "against: main\ndbt-command: uv run dbt\ndbt-args: \"'open\"\n"}};
// clang-format on

/// Name, current directory (below the scratch one), project directory, expected, options.
using LoadCase = std::tuple<const char*, const char*, const char*, std::string, SettingOptions>;
class LoadProjectConfig : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadProjectConfig, LayersTheFilesFromTheRepositoryRootDownUnderTheOptions) {
  const auto& [name, cwd, project_dir, expected, options] = GetParam();
  const testing::ScratchDir scratch;
  for (const auto& [path, content] : tree) {
    fs::create_directories((scratch / path).parent_path());
    content.starts_with("->") ? fs::create_symlink(content.substr(2), scratch / path)
    : path.ends_with('/')     ? void()
                              : testing::write_file(scratch / path, content);
  }
  const fs::path previous = fs::current_path();
  fs::current_path(scratch / cwd);
  const auto config = load_project_config(project_dir);
  fs::current_path(previous);
  EXPECT_EQ(config ? effective(*config, options) : config.error(), expected);
}

const std::string unknown =
    ": unknown key `x` under dbt-plan is ignored -- the key it knows is max-window-expansion-days";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Trees, LoadProjectConfig, ::testing::ValuesIn(std::vector<LoadCase>{
    {"NearestWinsKeyByKeyPathsAsWritten", "r/s", "../p/",
     "dbt|<--ci><a b>|dev|30 | ../tarn.yml" + unknown + " | ../p/tarn.yml" + unknown, {}},
    {"DotNeverLooksAbove", "r/p", ".", "dbt||dev|90 | ./tarn.yml" + unknown, {}},
    {"NoRepositoryOnlyTheProject", "", "solo/p", "dbt||master|16", {}},
    {"GitFileMarksTheRootDanglingLinksAreNothing", "", "file/p", "dbt||file|90", {}},
    {"FirstBrokenFileStopsAtItsFirstFault", "", "broken/p",
     "broken/tarn.yml: " + sequence + "1 column 10", {}},
    {"Directory", "", "dir", "dir/tarn.yml: Is a directory (os error 21)", {}},
    {"NotUtf8", "latin1", ".", "./tarn.yml: stream did not contain valid UTF-8", {}},
    {"OptionsWinOverTheFile", "", "opts", "||dev|90", {"", "", "dev"}},
    {"OptionArgsLeaveTheFilesUnsplit", "", "opts", "uv run dbt|<-x>|main|90", {{}, "-x", {}}},
    {"BrokenFileArgs", "", "opts", "tarn.yml dbt-args: missing closing quote", {}},
    {"BrokenOptionArgs", "", "solo", "--dbt-args: missing closing quote", {{}, "\"x", {}}}}),
    case_name);
// clang-format on

}  // namespace
}  // namespace tarn
