#!/usr/bin/env python3
"""tarn-dbt-plan against the real dbt (dbt-core and dbt-duckdb), on copies of examples/jaffle_events
and on projects made here. `dbt_e2e.py --binary B --dbt D --example E --work W --markdown-python P`
with --compile copies the example to W/compiled and runs `dbt deps` and `dbt parse` there once; with
test class names it runs those, each test in a temporary directory of its own (kept when TARN_E2E_KEEP
is set) with TMPDIR inside it."""

import argparse
import datetime
import html
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

RECORDER = Path(__file__).resolve().parent / "record-dbt"
WINDOW = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]
BASELINE = "tarn-dbt-plan-state-"
UNTRACKED = ["target", "dbt_packages", "logs", "*.duckdb", "*.duckdb.wal", ".user.yml"]
ENV = dict(os.environ, DBT_SEND_ANONYMOUS_USAGE_STATS="false", DO_NOT_TRACK="1")
CONFIG = argparse.Namespace()
ORDERS_PARENTS = ["stg_orders", "dim_customers.v2", "fx_rates"]


def run(command, cwd, check=True, **options):
    done = subprocess.run([str(word) for word in command], cwd=cwd, capture_output=True, text=True,
                          timeout=1200, **options)  # fmt: skip
    if check and done.returncode != 0:
        raise AssertionError(f"{shlex.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done


def git(repository, *args):
    return run(["git", "-c", "user.name=t", "-c", "user.email=t@example.invalid", *args], repository).stdout


def write_later(path, text):
    """Writes a file newer than anything dbt wrote before, even with coarse file times."""
    path.write_text(text)
    later = time.time_ns() + 2_000_000_000
    os.utime(path, ns=(later, later))


class DbtTestCase(unittest.TestCase):
    def setUp(self):
        # Outside any git repository, so that no tarn.yml above the project takes part.
        self.root = Path(tempfile.mkdtemp(prefix=f"tarn-dbt-e2e-{self._testMethodName}-")).resolve()
        self.tmpdir, self.log, self.repository = self.root / "tmp", self.root / "dbt-calls.log", None
        self.tmpdir.mkdir()
        self.env = dict(ENV, TMPDIR=str(self.tmpdir))

    def tearDown(self):
        if self.repository:
            listing = git(self.repository, "worktree", "list", "--porcelain")
            self.assertEqual(listing.count("worktree "), 1, f"a worktree is still registered:\n{listing}")
        self.assertEqual([n for n in os.listdir(self.tmpdir) if n.startswith(BASELINE)], [])
        if not os.environ.get("TARN_E2E_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)

    def example(self, destination=None):
        """A copy of the compiled example, times kept so that its manifest is still fresh."""
        return Path(shutil.copytree(Path(CONFIG.work) / "compiled", destination or self.root / "project"))

    def command(self, project, *args):
        dbt = shlex.join(map(str, (RECORDER, self.log, CONFIG.dbt)))
        output = self.root / "plan.json"
        return [CONFIG.binary, "--project-dir", project, "-o", output, "--dbt-command", dbt, *args]

    def plan(self, project, *args):
        """Runs the program, expects success; returns its end and the plan."""
        done = run(self.command(project, *args), self.root, check=False, env=self.env)
        self.assertEqual(done.returncode, 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        return done, json.loads((self.root / "plan.json").read_text())

    def calls(self):
        """(working directory, arguments) of every dbt start, in order."""
        lines = self.log.read_text().splitlines() if self.log.exists() else []
        return [(Path(d), shlex.split(a)) for d, _, a in (line.partition("\t") for line in lines)]

    def assertModels(self, plan, expected):
        """expected: (name, start, end, layer, depends_on) per model, in plan order."""
        got = [(m["name"], m["event_time_start"], m["event_time_end"], m["layer"], m["depends_on"])
               for m in plan["models"]]  # fmt: skip
        self.assertEqual(got, expected)

    def changed_repository(self):
        """The example in a subdirectory of a repository, on a branch `feature` whose one
        commit changes fct_daily_sessions; returns the project directory."""
        self.repository = self.root / "repo"
        project = self.example(self.repository / "analytics" / "jaffle_events")
        (self.repository / ".gitignore").write_text("".join(f"{p}\n" for p in UNTRACKED))
        git(self.repository, "init", "-q", "-b", "main")
        git(self.repository, "add", "-A")
        git(self.repository, "commit", "-q", "-m", "example")
        git(self.repository, "checkout", "-q", "-b", "feature")
        sessions = project / "models" / "marts" / "fct_daily_sessions.sql"
        self.assertIn("count(*) as events", sessions.read_text())
        write_later(sessions, sessions.read_text().replace("count(*) as events", "count(*) as events, 1"))
        git(self.repository, "commit", "-q", "-am", "change")
        return project


class Plans(DbtTestCase):
    def test_a_new_model_is_parsed_by_dbt_then_planned_with_exact_windows(self):
        project = self.example()
        compiled = json.loads((project / "target" / "manifest.json").read_text())["metadata"]["generated_at"]
        write_later(project / "models" / "marts" / "fct_daily_refunds.sql",
             "{{ config(materialized='incremental', incremental_strategy='microbatch', begin='2024-01-01',\n"
             "          event_time='ordered_at', batch_size='day', meta={'tarn': {'lookback': 3}}) }}\n"
             "select * from {{ ref('stg_orders') }} where amount < 0\n")  # fmt: skip
        _, plan = self.plan(project, "--select", "+fct_daily_orders fct_daily_refunds", *WINDOW)
        self.assertEqual([(d, a[0]) for d, a in self.calls()], [(project, "parse"), (project, "ls")])
        self.assertGreater(plan["metadata"]["manifest_generated_at"], compiled)
        self.assertModels(plan, [
            ("stg_customers", "2024-03-10", "2024-03-12", 0, []),
            ("stg_orders", "2024-03-10", "2024-03-12", 0, []),
            ("fx_rates", "2024-03-10", "2024-03-12", 0, []),
            ("dim_customers.v2", "2024-03-10", "2024-03-12", 1, ["stg_customers"]),
            ("fct_daily_refunds", "2024-03-07", "2024-03-12", 1, ["stg_orders"]),
            # lookback 2 days, but the edge from fx_rates is overridden: 0 back, 3 ahead
            ("fct_daily_orders", "2024-03-08", "2024-03-15", 2, ORDERS_PARENTS),
        ])  # fmt: skip
        self.assertEqual(plan["metadata"]["warnings"], [])

    def test_the_anchor_plans_ancestors_backwards_and_a_fresh_manifest_is_not_parsed(self):
        _, plan = self.plan(self.example(), "--select", "+rpt_weekly_engagement", "--anchor",
                            "fct_daily_orders", "--event-time-start", "2024-03-10", "--event-time-end",
                            "2024-03-10")  # fmt: skip
        self.assertEqual([a[0] for _, a in self.calls()], ["ls"])
        self.assertEqual(plan["metadata"]["anchor_model"], "fct_daily_orders")
        self.assertModels(plan, [
            ("stg_customers", "2024-03-08", "2024-03-10", 0, []),
            ("stg_events", "2024-03-10", "2024-03-10", 0, []),
            ("stg_orders", "2024-03-08", "2024-03-10", 0, []),
            ("fx_rates", "2024-03-10", "2024-03-13", 0, []),
            ("dim_customers.v2", "2024-03-08", "2024-03-10", 1, ["stg_customers"]),
            ("fct_daily_sessions", "2024-03-09", "2024-03-10", 1, ["stg_events"]),
            ("fct_daily_orders", "2024-03-10", "2024-03-10", 2, ORDERS_PARENTS),
            ("rpt_weekly_engagement", "2024-03-08", "2024-03-17", 3, ["fct_daily_sessions",
                                                                      "fct_daily_orders"]),
        ])  # fmt: skip


class StateBaseline(DbtTestCase):
    """state:modified+ against the merge-base with main, compiled by dbt in a git worktree."""

    def test_the_worktree_is_compiled_compared_against_and_removed(self):
        project = self.changed_repository()
        _, plan = self.plan(project, "--select", "state:modified+", "--against", "main", *WINDOW)
        self.assertModels(plan, [
            ("fct_daily_sessions", "2024-03-10", "2024-03-12", 0, []),
            ("rpt_weekly_engagement", "2024-03-10", "2024-03-19", 1, ["fct_daily_sessions"]),
        ])  # fmt: skip
        (here, parse), (worktree, deps), (again, parse_baseline), (ls_here, ls) = self.calls()
        self.assertEqual((here, ls_here, again), (project, project, worktree))
        self.assertEqual([parse[0], deps[0], parse_baseline[0], ls[0]], ["parse", "deps", "parse", "ls"])
        self.assertTrue(str(worktree).startswith(str(self.tmpdir / BASELINE)), worktree)
        self.assertEqual(worktree.parts[-2:], ("analytics", "jaffle_events"))
        self.assertEqual(ls[-2:], ["--state", str(worktree / "target")])
        self.assertFalse(worktree.exists())


def microbatch(refs, batch_size="day", meta=None, extra=""):
    config = "materialized='incremental', incremental_strategy='microbatch', begin='2024-03-01'"
    config += f", event_time='ts', batch_size='{batch_size}'{extra}"
    config += f", meta={{'tarn': {meta!r}}}" if meta else ""
    return f"{{{{ config({config}) }}}}\n" + " union all ".join(f"select ts from {{{{ {r} }}}}" for r in refs)


def made_here(project, models, yml=None):
    """A dbt-duckdb project of the given models and no package."""
    (project / "models").mkdir(parents=True)
    (project / "dbt_project.yml").write_text(
        "name: made_here\nversion: '1.0.0'\nconfig-version: 2\nprofile: made_here\n"
        "flags:\n  send_anonymous_usage_stats: false\nmodels:\n  made_here:\n    +concurrent_batches: false\n"
    )
    (project / "profiles.yml").write_text(
        "made_here:\n  target: dev\n  outputs:\n    dev:\n      type: duckdb\n"
        "      path: target/made_here.duckdb\n      threads: 1\n"
    )
    for name, sql in models.items():
        (project / "models" / f"{name}.sql").write_text(sql)
    if yml:
        (project / "models" / "_models.yml").write_text(yml)
    return project


# Forty days of March and April 2024, one row each.
SOURCE = microbatch([]) + "select timestamp '2024-03-01' + to_days(cast(i as int)) as ts from range(40) t(i)"
# A diamond of two windows meeting again (left, right, joined), a lookahead, an override,
# a monthly model, a name that needs shell quoting, a versioned model rebuilt whole and
# its microbatch child, and a window that ends before it starts.
MODELS = {
    "src": SOURCE,
    "daily$rev&eur": microbatch(["ref('src')"]),
    # dbt's own lookback would add batches if dbt applied it to a given range.
    "left": microbatch(["ref('src')"], meta={"lookback": 1}, extra=", lookback=3"),
    "right": microbatch(["ref('src')"], meta={"lookahead": 2}),
    "joined": microbatch(["ref('left')", "ref('right')"],
                         meta={"lookback": 2, "lookback_overrides": {"right": 0}}),  # fmt: skip
    "monthly": microbatch(["ref('joined')"], batch_size="month"),
    "dim_v1": "{{ config(materialized='table') }}\nselect ts from {{ ref('src') }}\n",
    "dim_v2": "{{ config(materialized='table') }}\nselect ts, 2 as v from {{ ref('src') }}\n",
    "uses_dim": microbatch(["ref('dim', v=1)"]),
    "shrunk": microbatch(["ref('src')"], meta={"lookback": -5}),
}
VERSIONS = "models:\n  - name: dim\n    latest_version: 2\n    versions:\n      - v: 1\n      - v: 2\n"


def days(start, end):
    first, last = datetime.date.fromisoformat(start[:10]), datetime.date.fromisoformat(end[:10])
    return {first + datetime.timedelta(days=n) for n in range((last - first).days + 1)}


class Runbook(DbtTestCase):
    def test_dbt_rebuilds_exactly_the_planned_days_in_order(self):
        project, runbook = made_here(self.root / "made_here", MODELS, VERSIONS), self.root / "runbook.sh"
        done, plan = self.plan(project, "--select", "src+", *WINDOW, "--runbook", runbook)
        planned = {m["name"]: m for m in plan["models"]}
        self.assertEqual((planned["joined"]["event_time_start"], planned["joined"]["event_time_end"]),
                         ("2024-03-07", "2024-03-14"))  # fmt: skip
        self.assertIn("warning: shrunk: window 2024-03-15 to 2024-03-12 ends before it starts -- the "
                      "run-book has no dbt command for it\n", done.stderr)  # fmt: skip
        del planned["shrunk"]
        kept = self.root / "kept"
        kept.mkdir()
        run(["sh", "-c", runbook.read_text()], project, env=dict(self.env, KEEP=str(kept)))
        results = [r for path in sorted(kept.iterdir()) for r in json.loads(path.read_text())["results"]]
        position = {r["unique_id"].split(".", 2)[2]: n for n, r in enumerate(results)}
        self.assertEqual(len(position), len(results), "a model ran twice")
        self.assertEqual(sorted(position), sorted(planned))
        for name, model in planned.items():
            result = results[position[name]]
            self.assertEqual(result["status"], "success", result)
            for parent in model["depends_on"]:
                self.assertLess(position[parent], position[name], f"{name} ran before {parent}")
            batches = result.get("batch_results")  # none for a model rebuilt whole
            if batches is not None:
                self.assertEqual(batches["failed"], [])
                ran = [d for start, end in batches["successful"] for d in days(start, end) - days(end, end)]
                wanted = days(model["event_time_start"], model["event_time_end"])
                if name == "monthly":  # month batches cover the days
                    self.assertLessEqual(wanted, set(ran), name)
                else:
                    self.assertEqual(sorted(ran), sorted(wanted), name)


HOSTILE = ["p|ipe", "<b>bold", "<script>alert(1)", "[link](javascript:x)", "`tick`_em_", "back\\slash!#h",
           "&amp;*bold*"]  # fmt: skip
RENDER = "import sys, markdown_it\nprint(markdown_it.MarkdownIt().enable('table').render(sys.stdin.read()))"


class Summary(DbtTestCase):
    def test_hostile_model_names_stay_text_in_the_rendered_table(self):
        models = dict({"src": SOURCE}, **{name: "select ts from {{ ref('src') }}\n" for name in HOSTILE})
        project = made_here(self.root / "hostile", models)
        done, _ = self.plan(project, "--select", "src+", *WINDOW, "--summary", "-")
        page = run([CONFIG.markdown_python, "-c", RENDER], self.root, input=done.stdout).stdout
        allowed = {"h3", "p", "ul", "li", "strong", "table", "thead", "tbody", "tr", "th", "td", "details",
                   "summary", "pre", "code"}  # fmt: skip
        self.assertLessEqual(set(re.findall(r"<(\w+)", page)), allowed)
        def text(cell):
            return html.unescape(re.sub(r"<[^>]*>", "", cell))

        rows = [[text(cell) for cell in re.findall(r"<t[dh][^>]*>(.*?)</t", row)]
                for row in re.findall(r"<tr>(.*?)</tr>", page, re.S)]  # fmt: skip
        header = ["layer", "model", "window", "days", "lookback", "lookahead", "selected parents"]
        self.assertEqual(rows[0], header)
        self.assertEqual(rows[1][:4], ["0", "src", "2024-03-10 to 2024-03-12", "3"])
        self.assertEqual(sorted(row[1] for row in rows[2:]), sorted(HOSTILE))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--binary", "--dbt", "--example", "--work", "--markdown-python"):
        parser.add_argument(option, required=True)
    parser.add_argument("--compile", action="store_true")
    options, rest = parser.parse_known_args()
    CONFIG.__dict__.update(vars(options), work=os.path.realpath(options.work))
    compiled = Path(CONFIG.work) / "compiled"
    try:
        run([CONFIG.dbt, "--version"], None, env=ENV)
    except (OSError, AssertionError) as error:
        sys.exit(f"error: dbt is not usable at {CONFIG.dbt} ({error}) -- run scripts/setup-dbt")
    if options.compile:
        shutil.rmtree(compiled, ignore_errors=True)
        shutil.copytree(CONFIG.example, compiled, ignore=shutil.ignore_patterns(*UNTRACKED))
        for subcommand in ("deps", "parse"):
            run([CONFIG.dbt, subcommand], compiled, env=ENV)
        return
    if not (compiled / "target" / "manifest.json").exists():
        sys.exit("error: the compiled example is missing -- run the compile_example test first")
    unittest.main(module=__name__, argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
