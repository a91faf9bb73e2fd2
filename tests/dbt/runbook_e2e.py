#!/usr/bin/env python3
"""The run-book and the summary against the real dbt.

Run by CTest (tests/dbt/CMakeLists.txt) with the options of dbt_e2e.py and
--markdown-python, the interpreter of the Markdown parser's environment
(made by scripts/setup-markdown):

    runbook_e2e.py --binary B --dbt D --example E --work W --markdown-python P TestClass...

A test executes the run-book the program printed (the program never runs
it), with every dbt call's target/run_results.json kept, and checks from
dbt's own record that each model ran after its parents and that each
microbatch model rebuilt exactly the planned days (daily batches) or a
cover of them (coarser batches).
"""

import datetime
import html.parser
import json
import os
import shlex
import subprocess
import sys
import unittest
from pathlib import Path

import dbt_e2e
from dbt_e2e import CONFIG, DbtTestCase, copy_compiled, dbt_environment

HERE = Path(__file__).resolve().parent
KEEP_RESULTS = HERE / "keep-run-results"
WINDOW = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]


def day(text):
    return datetime.date.fromisoformat(text[:10])


def planned_days(model):
    first, last = day(model["event_time_start"]), day(model["event_time_end"])
    return {first + datetime.timedelta(days=n) for n in range((last - first).days + 1)}


def model_name(unique_id):
    """model.<package>.<name>, where a versioned model's name ends in .vN."""
    return unique_id.split(".", 2)[2]


MICROBATCH = "materialized='incremental', incremental_strategy='microbatch', begin='2024-03-01'"


def microbatch(ref_calls, batch_size="day", meta=None, extra=""):
    config = f"{MICROBATCH}, event_time='ts', batch_size='{batch_size}'{extra}"
    if meta:
        config += f", meta={{'tarn': {meta!r}}}"
    selects = " union all ".join(f"select ts from {{{{ {call} }}}}" for call in ref_calls)
    return f"{{{{ config({config}) }}}}\n{selects}\n"


def write_project(project, models, yml=""):
    """A dbt-duckdb project of the given model files and no package."""
    (project / "models").mkdir(parents=True)
    (project / "dbt_project.yml").write_text(
        "name: made_here\nversion: '1.0.0'\nconfig-version: 2\nprofile: made_here\n"
        "flags:\n  send_anonymous_usage_stats: false\n"
        "models:\n  made_here:\n    +concurrent_batches: false\n"
    )
    (project / "profiles.yml").write_text(
        "made_here:\n  target: dev\n  outputs:\n    dev:\n      type: duckdb\n"
        "      path: target/made_here.duckdb\n      threads: 1\n"
    )
    for name, sql in models.items():
        (project / "models" / f"{name}.sql").write_text(sql)
    if yml:
        (project / "models" / "_models.yml").write_text(yml)


# Forty days of March and April 2024, one row each.
SOURCE = (
    f"{{{{ config({MICROBATCH}, event_time='ts', batch_size='day') }}}}\n"
    "select cast('2024-03-01' as timestamp) + to_days(cast(i as integer)) as ts "
    "from range(0, 40) as t(i)\n"
)

# A diamond of two windows meeting again (left, right, joined), a lookahead,
# a per-parent override, a monthly model, a name that needs shell quoting,
# a versioned model rebuilt whole and its microbatch child, and a window
# that ends before it starts.
MADE_HERE = {
    "src": SOURCE,
    "daily$rev&eur": microbatch(["ref('src')"]),
    # dbt's own lookback would add batches if dbt applied it to a given range.
    "left": microbatch(["ref('src')"], meta={"lookback": 1}, extra=", lookback=3"),
    "right": microbatch(["ref('src')"], meta={"lookahead": 2}),
    "joined": microbatch(
        ["ref('left')", "ref('right')"], meta={"lookback": 2, "lookback_overrides": {"right": 0}}
    ),
    "monthly": microbatch(["ref('joined')"], batch_size="month"),
    "dim_v1": "{{ config(materialized='table') }}\nselect ts from {{ ref('src') }}\n",
    "dim_v2": "{{ config(materialized='table') }}\nselect ts, 2 as v from {{ ref('src') }}\n",
    "uses_dim": microbatch(["ref('dim', v=1)"]),
    "shrunk": microbatch(["ref('src')"], meta={"lookback": -5}),
}
MADE_HERE_YML = "version: 2\nmodels:\n  - name: dim\n    latest_version: 2\n    versions:\n      - v: 1\n      - v: 2\n"


class RunbookTestCase(DbtTestCase):
    def make_runbook(self, project, *args):
        """Plans with --runbook; returns the plan, the script and stderr."""
        self.results = self.root / "run-results"
        self.results.mkdir()
        keeper = " ".join(shlex.quote(str(w)) for w in (KEEP_RESULTS, self.results, CONFIG.dbt))
        runbook = self.root / "runbook.sh"
        output = self.root / "plan.json"
        done = subprocess.run(
            [CONFIG.binary, "--project-dir", str(project), "-o", str(output),
             "--runbook", str(runbook), "--dbt-command", keeper, *args],
            cwd=self.root, env=dbt_environment(self.tmpdir), capture_output=True, text=True,
            timeout=600,
        )  # fmt: skip
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(output.read_text()), runbook.read_text(), done.stderr

    def dbt(self, project, *args, check=True):
        done = subprocess.run(
            [CONFIG.dbt, *args], cwd=project, env=dbt_environment(self.tmpdir),
            capture_output=True, text=True, timeout=600,
        )  # fmt: skip
        if check:
            self.assertEqual(done.returncode, 0, f"dbt {args}:\n{done.stdout}{done.stderr}")
        return done

    def execute(self, project, script):
        for kept in self.results.iterdir():
            kept.unlink()
        done = subprocess.run(
            ["sh", "-c", script], cwd=project, env=dbt_environment(self.tmpdir),
            capture_output=True, text=True, timeout=1200,
        )  # fmt: skip
        self.assertEqual(done.returncode, 0, f"the run-book failed:\n{done.stdout}{done.stderr}")

    def executed(self):
        """dbt's results of every node it ran, in the order it ran them."""
        results = []
        for kept in sorted(self.results.iterdir()):
            results.extend(json.loads(kept.read_text())["results"])
        return results

    def assertCarriedOut(self, plan, coarse=()):
        """Every planned model but those without a range ran once, after
        its parents, over exactly its planned days (or a cover of them for
        the models in coarse)."""
        results = self.executed()
        position = {model_name(r["unique_id"]): n for n, r in enumerate(results)}
        self.assertEqual(len(position), len(results), "a model ran twice")
        for result in results:
            self.assertEqual(result["status"], "success", result)
        for model in plan["models"]:
            name = model["name"]
            self.assertIn(name, position, f"{name} never ran")
            for parent in model["depends_on"]:
                self.assertLess(position[parent], position[name], f"{name} ran before {parent}")
            batches = results[position[name]].get("batch_results")
            if batches is None:
                continue
            self.assertEqual(batches["failed"], [])
            spans = [(day(start), day(end)) for start, end in batches["successful"]]
            if name in coarse:
                for wanted in planned_days(model):
                    self.assertTrue(any(s <= wanted < e for s, e in spans), f"{name} missed {wanted}")
            else:
                self.assertEqual({s for s, _ in spans}, planned_days(model), name)
        return position


class RunbookOnTheExample(RunbookTestCase):
    def test_dbt_build_of_the_runbook_rebuilds_the_planned_days_in_order(self):
        project = copy_compiled(self.root / "project")
        plan, script, _ = self.make_runbook(
            project, "--select", "stg_events+ stg_orders+ stg_customers+ fx_rates+", *WINDOW,
            "--runbook-command", "build",
        )  # fmt: skip
        self.assertIn(" build --select ", script)
        self.dbt(project, "seed")
        self.execute(project, script)
        self.assertCarriedOut(plan)
        self.assertIn("dim_customers.v2", [m["name"] for m in plan["models"]])


class RunbookOnAProjectMadeHere(RunbookTestCase):
    def test_dbt_run_of_the_runbook_rebuilds_the_planned_days_in_order(self):
        project = self.root / "project"
        write_project(project, MADE_HERE, MADE_HERE_YML)
        plan, script, stderr = self.make_runbook(project, "--select", "src+", *WINDOW)
        windows = {m["name"]: (m["event_time_start"], m["event_time_end"]) for m in plan["models"]}
        self.assertEqual(windows["joined"], ("2024-03-07", "2024-03-14"))
        self.assertEqual(windows["shrunk"], ("2024-03-15", "2024-03-12"))
        self.assertIn(
            "warning: shrunk: window 2024-03-15 to 2024-03-12 ends before it starts -- the "
            "run-book has no dbt command for it\n",
            stderr,
        )
        self.execute(project, script)
        without_range = {"shrunk"}
        plan["models"] = [m for m in plan["models"] if m["name"] not in without_range]
        position = self.assertCarriedOut(plan, coarse={"monthly"})
        self.assertNotIn("shrunk", position)
        self.assertIn("dim.v1", position)
        self.assertIn("dim.v2", position)


class DbtMicrobatchFacts(RunbookTestCase):
    """What the run-book relies on, asked of dbt itself."""

    @classmethod
    def setUpClass(cls):
        cls.project_models = {"src": SOURCE, "monthly": microbatch(["ref('src')"], "month"),
                              "lookback": microbatch(["ref('src')"], extra=", lookback=3")}

    def setUp(self):
        super().setUp()
        self.project = self.root / "project"
        write_project(self.project, self.project_models)

    def batches(self, model, start, end):
        self.dbt(self.project, "run", "--select", model,
                 "--event-time-start", start, "--event-time-end", end)  # fmt: skip
        results = json.loads((self.project / "target" / "run_results.json").read_text())
        (result,) = results["results"]
        return [(s[:10], e[:10]) for s, e in result["batch_results"]["successful"]]

    def test_start_is_inclusive_and_end_exclusive(self):
        self.assertEqual(
            self.batches("src", "2024-03-03", "2024-03-05"),
            [("2024-03-03", "2024-03-04"), ("2024-03-04", "2024-03-05")],
        )

    def test_start_must_be_earlier_than_end(self):
        done = self.dbt(self.project, "run", "--select", "src", "--event-time-start", "2024-03-05",
                        "--event-time-end", "2024-03-05", check=False)  # fmt: skip
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("Value for `--event-time-start` must be less than `--event-time-end`",
                      done.stdout + done.stderr)

    def test_a_start_inside_a_batch_is_rounded_down_to_the_batch(self):
        self.batches("src", "2024-03-01", "2024-03-02")
        self.assertEqual(self.batches("monthly", "2024-03-10", "2024-03-11"),
                         [("2024-03-01", "2024-04-01")])  # fmt: skip
        self.assertEqual(self.batches("src", "2024-03-10T12:00:00", "2024-03-11"),
                         [("2024-03-10", "2024-03-11")])  # fmt: skip

    def test_no_lookback_is_added_to_a_given_range(self):
        self.batches("src", "2024-03-01", "2024-03-02")
        self.assertEqual(self.batches("lookback", "2024-03-10", "2024-03-11"),
                         [("2024-03-10", "2024-03-11")])  # fmt: skip


HOSTILE = ["p|ipe", "<b>bold", "<script>alert(1)", "[link](javascript:x)", "`tick`_em_",
           "back\\slash!#h", "&amp;*bold*"]  # fmt: skip
SUMMARY_TAGS = {"h3", "p", "ul", "li", "strong", "table", "thead", "tbody", "tr", "th", "td",
                "details", "summary", "pre", "code"}  # fmt: skip
RENDER = (
    "import sys\n"
    "from markdown_it import MarkdownIt\n"
    "sys.stdout.write(MarkdownIt('commonmark').enable('table').render(sys.stdin.read()))\n"
)


class Page(html.parser.HTMLParser):
    """The tags of a rendered page, its table cells and its code block."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.rows, self.code = set(), [], ""
        self.cell = self.in_code = None

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th"):
            self.cell = ""
        elif tag == "code":
            self.in_code = True

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.rows[-1].append(self.cell)
            self.cell = None
        elif tag == "code":
            self.in_code = False

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        if self.in_code:
            self.code += data


class Summary(DbtTestCase):
    def render(self, markdown):
        done = subprocess.run(
            [CONFIG.markdown_python, "-c", RENDER], input=markdown, capture_output=True,
            text=True, timeout=60,
        )  # fmt: skip
        self.assertEqual(done.returncode, 0, f"{done.stderr}\n-- run scripts/setup-markdown")
        page = Page()
        page.feed(done.stdout)
        return page

    def test_hostile_names_stay_text_in_a_table_after_the_tree(self):
        project = self.root / "project"
        models = {"src": SOURCE}
        models.update({name: "select ts from {{ ref('src') }}\n" for name in HOSTILE})
        write_project(project, models)
        runbook = self.root / "runbook.sh"
        done = self.run_plan("--project-dir", str(project), "-o", str(self.root / "plan.json"),
                             "--select", "src+", *WINDOW, "--pretty", "--summary", "-",
                             "--runbook", str(runbook))  # fmt: skip
        self.assertEqual(done.returncode, 0, done.stderr)
        tree, heading, markdown = done.stdout.partition("### ")
        self.assertTrue(tree.startswith("[layer 0] src [2024-03-10 .. 2024-03-12]\n"), tree)
        self.assertEqual(tree.count("\n"), 1 + len(HOSTILE))
        page = self.render(heading + markdown)
        self.assertLessEqual(page.tags, SUMMARY_TAGS)
        header, *rows = page.rows
        self.assertEqual(header, ["layer", "model", "window", "days", "lookback", "lookahead",
                                  "selected parents"])  # fmt: skip
        self.assertEqual(rows[0][:4], ["0", "src", "2024-03-10 to 2024-03-12", "3"])
        self.assertEqual(sorted(row[1] for row in rows[1:]), sorted(HOSTILE))
        for row in rows[1:]:
            self.assertEqual((len(row), row[6]), (7, "src"), row)
        self.assertEqual(page.code, runbook.read_text())

    def test_only_one_of_runbook_and_summary_may_take_standard_output(self):
        done = subprocess.run(
            [CONFIG.binary, "--select", "x", "--runbook", "-", "--summary", "-"],
            cwd=self.root, capture_output=True, text=True, timeout=60,
        )  # fmt: skip
        self.assertEqual(done.returncode, 2)
        self.assertTrue(done.stderr.startswith(
            "error: --runbook - and --summary - cannot both write to standard output\n"))  # fmt: skip
        self.assertEqual(done.stdout, "")


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--binary", "--dbt", "--example", "--work", "--markdown-python"):
        parser.add_argument(option, required=True)
    options, rest = parser.parse_known_args()
    CONFIG.__dict__.update(vars(options))
    CONFIG.work = os.path.realpath(CONFIG.work)
    dbt_e2e.require_dbt()
    if not (Path(CONFIG.work) / "compiled" / "target" / "manifest.json").exists():
        sys.exit("error: the compiled example is missing -- run the dbt.compile_example test first")
    unittest.main(module=__name__, argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
