#include "select/select.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process/dbt_command.h"
#include "unit/support/stand_in_dbt.h"

namespace tarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScopedEnv;
using testing::ScratchDir;
using testing::StandInDbt;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

const std::vector<std::string> k_ls_words = {"ls",   "--resource-type", "model",   "--output",
                                             "name", "--quiet",         "--select"};

std::vector<std::string> concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

ManifestNode model(const std::string& id, const std::string& name,
                   std::optional<std::string> version = std::nullopt) {
  ManifestNode node;
  node.id = id;
  node.name = name;
  node.version = std::move(version);
  return node;
}

Manifest shop_manifest() {
  Manifest manifest;
  auto add = [&manifest](ManifestNode node) { manifest.nodes.emplace(node.id, std::move(node)); };
  add(model("model.shop.orders", "orders"));
  add(model("model.shop.customers", "customers"));
  add(model("model.shop.dim_customers.v1", "dim_customers", "1"));
  add(model("model.shop.dim_customers.v2", "dim_customers", "2"));
  ManifestNode source = model("source.shop.raw.payments", "payments");
  source.is_source = true;
  add(source);
  return manifest;
}

TEST(DbtArgv, CommandWordsThenSubcommandThenExtraWords) {
  auto argv = dbt_argv("uv run 'dbt core'", {"parse"}, {"--target", "ci"});
  ASSERT_TRUE(argv.has_value());
  EXPECT_THAT(*argv, ElementsAre("uv", "run", "dbt core", "parse", "--target", "ci"));
}

TEST(DbtArgv, UnsplittableOrEmptyCommandFails) {
  auto unbalanced = dbt_argv("dbt 'oops", {"parse"}, {});
  ASSERT_FALSE(unbalanced.has_value());
  EXPECT_EQ(unbalanced.error().kind, DbtCommandError::Kind::unsplittable);
  EXPECT_EQ(unbalanced.error().splitter_message, "missing closing quote");

  for (const char* blank : {"", "   ", "\t", "# only a comment"}) {
    auto empty = dbt_argv(blank, {"parse"}, {"--target", "ci"});
    ASSERT_FALSE(empty.has_value()) << blank;
    EXPECT_EQ(empty.error().kind, DbtCommandError::Kind::empty) << blank;
  }
}

class SelectModels : public ::testing::Test {
 protected:
  SelectRequest request(const std::string& select) const {
    return SelectRequest{project_.path(), dbt_.program().string(), {}, select, {}, {}};
  }

  std::expected<Selection, SelectError> select(const SelectRequest& request) const {
    return select_models(request, manifest_);
  }

  void answer(const std::string& out, const std::string& err = "", int code = 0) {
    dbt_ = StandInDbt(tools_.path(), StandInDbt::answer(out, err, code));
  }

  ScratchDir tools_;
  ScratchDir project_;
  StandInDbt dbt_{tools_.path(), StandInDbt::answer("")};
  Manifest manifest_ = shop_manifest();
};

TEST_F(SelectModels, PlainCommandFoundOnTheSearchPath) {
  answer("orders\n");
  ScopedEnv path("PATH", tools_.path().string() + ":" + std::getenv("PATH"));
  SelectRequest plain = request("orders+");
  plain.dbt_command = "dbt";
  auto selection = select(plain);
  ASSERT_TRUE(selection.has_value()) << selection.error().message();
  EXPECT_THAT(*selection, UnorderedElementsAre("model.shop.orders"));
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].program, dbt_.program().string());
  EXPECT_EQ(calls[0].cwd, project_.path().string());
  EXPECT_EQ(calls[0].args, concat(k_ls_words, {"orders+"}));
}

TEST_F(SelectModels, ArgumentOrderWithWrapperExcludeStateAndExtraWords) {
  // The stand-in plays the wrapper; "exec" and "dbt" are its own words.
  SelectRequest full = request("tag:daily  orders+");
  full.dbt_command = "'" + dbt_.program().string() + "' exec dbt";
  full.exclude = "state:modified";
  full.state_dir = "/tmp/some state";
  full.dbt_args = {"--target", "ci"};
  ASSERT_TRUE(select(full).has_value());
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, concat(concat({"exec", "dbt"}, k_ls_words),
                                  {"tag:daily", "orders+", "--exclude", "state:modified", "--state",
                                   "/tmp/some state", "--target", "ci"}));
}

TEST_F(SelectModels, EmptySelectorsStillPassTheirOptionNames) {
  SelectRequest blank = request("");
  blank.exclude = "   ";
  ASSERT_TRUE(select(blank).has_value());
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, concat(k_ls_words, {"--exclude"}));
}

TEST_F(SelectModels, UnsplittableSelectorsFailBeforeDbtStarts) {
  SelectRequest bad_select = request("tag:'daily");
  auto failed = select(bad_select);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, SelectError::Kind::start);
  EXPECT_EQ(failed.error().message(), "could not run `" + dbt_.program().string() +
                                          " ls`: could not parse --select tag:'daily: missing "
                                          "closing quote");

  SelectRequest bad_exclude = request("orders");
  bad_exclude.exclude = "\"x";
  EXPECT_EQ(select(bad_exclude).error().message(),
            "could not run `" + dbt_.program().string() +
                " ls`: could not parse --exclude \"x: missing closing quote");
  EXPECT_THAT(dbt_.calls(), IsEmpty());
}

TEST_F(SelectModels, BrokenCommandTextIsReportedBeforeBrokenSelector) {
  SelectRequest broken = request("'x");
  broken.dbt_command = "dbt \"";
  EXPECT_EQ(select(broken).error().message(), "could not run `dbt \" ls`: missing closing quote");
  broken.dbt_command = "   ";
  EXPECT_EQ(select(broken).error().message(),
            "could not run `    ls`: --dbt-command resolved to an empty command");
}

TEST_F(SelectModels, ProgramThatCannotStart) {
  SelectRequest missing = request("orders");
  missing.dbt_command = "tarn-no-such-dbt";
  EXPECT_EQ(select(missing).error().message(),
            "could not run `tarn-no-such-dbt ls`: No such file or directory");
}

TEST_F(SelectModels, FailedDbtReportsBothStreamsEvenWhenEmpty) {
  answer("", "", 2);
  auto empty = select(request("orders"));
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind, SelectError::Kind::dbt);
  EXPECT_EQ(empty.error().message(),
            "`" + dbt_.program().string() + " ls` failed:\nstdout:\n\nstderr:\n");

  answer("half\\n", "bad selector\\n", 1);
  EXPECT_EQ(
      select(request("orders")).error().message(),
      "`" + dbt_.program().string() + " ls` failed:\nstdout:\nhalf\n\nstderr:\nbad selector\n");
}

TEST_F(SelectModels, ChildEndedBySignalIsAFailure) {
  dbt_ = StandInDbt(tools_.path(), "printf 'orders\\n'; kill -TERM $$");
  auto failed = select(request("orders"));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, SelectError::Kind::dbt);
  EXPECT_EQ(failed.error().stdout_text, "orders\n");
}

TEST_F(SelectModels, StandardErrorOfASuccessfulRunIsIgnored) {
  answer("orders\\n", "customers\\n");
  auto selection = select(request("orders"));
  ASSERT_TRUE(selection.has_value());
  EXPECT_THAT(*selection, UnorderedElementsAre("model.shop.orders"));
}

struct OutputCase {
  const char* name;
  std::string output;
  std::vector<std::string> ids;  // the selection, or empty with `unknown` set
  std::optional<std::string> unknown = std::nullopt;
};

class SelectionFromOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(SelectionFromOutput, MapsPrintedNamesToModelIds) {
  auto selection = selection_from_output(GetParam().output, shop_manifest(), "dbt");
  if (GetParam().unknown) {
    ASSERT_FALSE(selection.has_value());
    EXPECT_EQ(selection.error().kind, SelectError::Kind::unknown_model);
    EXPECT_EQ(selection.error().detail, *GetParam().unknown);
    return;
  }
  ASSERT_TRUE(selection.has_value()) << selection.error().message();
  EXPECT_THAT(*selection, UnorderedElementsAreArray(GetParam().ids));
}

INSTANTIATE_TEST_SUITE_P(
    Select, SelectionFromOutput,
    ::testing::Values(
        OutputCase{"PaddedCrlfAndBlankLines",
                   "  orders\r\n\r\n\t\n customers \u00a0\r\n\n   \norders",
                   {"model.shop.orders", "model.shop.customers"}},
        OutputCase{"Empty", "", {}}, OutputCase{"OnlyBlankLines", "\n \r\n", {}},
        OutputCase{"PrintedVersion",
                   "dim_customers.v2\norders\n",
                   {"model.shop.dim_customers.v2", "model.shop.orders"}},
        OutputCase{
            "SharedNameTakesTheSmallerId", "dim_customers\n", {"model.shop.dim_customers.v1"}},
        OutputCase{"VersionOfAnUnversionedModel", "orders.v2\n", {}, "orders.v2"},
        OutputCase{"VersionNotInTheManifest", "dim_customers.v3\n", {}, "dim_customers.v3"},
        OutputCase{"SourceName", "orders\npayments\n", {}, "payments"},
        OutputCase{"FirstUnknownNameStops", "seed_countries\nghost\n", {}, "seed_countries"},
        OutputCase{"CaseSensitive", "Orders\n", {}, "Orders"},
        OutputCase{"InvalidBytesReplaced", "ord\xffrs\n", {}, "ord\uFFFDrs"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectError, UnknownModelMessageNamesTheCommand) {
  auto failed = selection_from_output("payments\n", shop_manifest(), "uv run dbt");
  EXPECT_EQ(
      failed.error().message(),
      "`uv run dbt ls` selected payments, which isn't a model in the compiled manifest -- the "
      "manifest at --manifest is likely out of sync with the current project state; delete "
      "it and rerun (or point --manifest at a freshly compiled one)");
}

}  // namespace
}  // namespace tarn
