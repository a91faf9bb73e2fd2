#!/usr/bin/env python3
"""tarn-dbt-plan against the real dbt, on a copy of examples/jaffle_events and on projects made here:
`dbt_e2e.py --binary B --dbt D --example E --markdown-python P TestClass...`, each test in a directory
of its own (kept when TARN_E2E_KEEP is set) with its own TMPDIR."""

import argparse, datetime, html, json, os, re, shlex, shutil, subprocess, sys, tempfile, time, unittest
from pathlib import Path

WINDOW = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]
BASELINE = "tarn-dbt-plan-state-"
UNTRACKED = ["target", "dbt_packages", "logs", "*.duckdb", "*.duckdb.wal", ".user.yml"]
ENV = dict(os.environ, DBT_SEND_ANONYMOUS_USAGE_STATS="false", DO_NOT_TRACK="1")
CONFIG = argparse.Namespace()


def run(command, cwd, check=True, **options):
    done = subprocess.run(list(map(str, command)), cwd=cwd, capture_output=True, text=True, **options)
    if check and done.returncode != 0:
        raise AssertionError(f"{shlex.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done


def git(repository, *args):
    return run(["git", "-c", "user.name=t", "-c", "user.email=t@t.invalid", *args], repository).stdout


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

    def plan(self, project, *args):
        """Runs the program through record-dbt, expects success; returns its end and the plan."""
        dbt = shlex.join([str(Path(__file__).parent / "record-dbt"), str(self.log), CONFIG.dbt])
        output = self.root / "plan.json"
        done = run([CONFIG.binary, "--project-dir", project, "-o", output, "--dbt-command", dbt, *args],
                   self.root, check=False, env=self.env)
        self.assertEqual(done.returncode, 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        return done, json.loads(output.read_text())

    def calls(self):
        """(working directory, arguments) of every dbt start, in order."""
        lines = self.log.read_text().splitlines() if self.log.exists() else []
        return [(Path(d), shlex.split(a)) for d, _, a in (line.partition("\t") for line in lines)]

    def assertModels(self, plan, expected):
        """expected: (name, start, end, layer, depends_on) per model, in plan order."""
        keys = ["name", "event_time_start", "event_time_end", "layer", "depends_on"]
        self.assertEqual([tuple(m[k] for k in keys) for m in plan["models"]], expected)


class Baseline(DbtTestCase):
    def test_a_stale_project_is_parsed_and_its_merge_base_compiled_in_a_removed_worktree(self):
        # The example in a subdirectory of a repository, on a branch whose one commit changes
        # fct_daily_sessions and adds fct_daily_refunds.
        self.repository, ignore = self.root / "repo", shutil.ignore_patterns(*UNTRACKED)
        project = self.repository / "analytics" / "jaffle"
        shutil.copytree(CONFIG.example, project, ignore=ignore)
        for subcommand in ("deps", "parse"):
            run([CONFIG.dbt, subcommand], project, env=ENV)
        compiled = json.loads((project / "target" / "manifest.json").read_text())["metadata"]
        (self.repository / ".gitignore").write_text("\n".join(UNTRACKED))
        git(self.repository, "init", "-q", "-b", "main")
        git(self.repository, "add", "-A")
        git(self.repository, "commit", "-q", "-m", "example")
        git(self.repository, "checkout", "-q", "-b", "feature")
        sessions = project / "models" / "marts" / "fct_daily_sessions.sql"
        self.assertIn("count(*) as events", sessions.read_text())
        write_later(sessions, sessions.read_text().replace("count(*) as events", "count(*) as events, 1"))
        write_later(project / "models" / "marts" / "fct_daily_refunds.sql",
                    "{{ config(materialized='incremental', incremental_strategy='microbatch', event_time="
                    "'ordered_at', begin='2024-01-01', batch_size='day', meta={'tarn': {'lookback': 3}}) }}\n"
                    "select * from {{ ref('stg_orders') }} where amount < 0\n")
        git(self.repository, "add", "-A")
        git(self.repository, "commit", "-q", "-m", "change")

        _, plan = self.plan(project, "--select", "state:modified+", "--against", "main", *WINDOW)
        self.assertModels(plan, [
            ("fct_daily_refunds", "2024-03-10", "2024-03-12", 0, []),
            ("fct_daily_sessions", "2024-03-10", "2024-03-12", 0, []),
            ("rpt_weekly_engagement", "2024-03-10", "2024-03-19", 1, ["fct_daily_sessions"]),
        ])
        self.assertGreater(plan["metadata"]["manifest_generated_at"], compiled["generated_at"])
        calls = self.calls()
        worktree = calls[1][0]
        self.assertEqual([(d, a[0]) for d, a in calls],
                         [(project, "parse"), (worktree, "deps"), (worktree, "parse"), (project, "ls")])
        self.assertTrue(str(worktree).startswith(str(self.tmpdir / BASELINE)), worktree)
        self.assertEqual(worktree.parts[-2:], ("analytics", "jaffle"))
        self.assertEqual(calls[3][1][-2:], ["--state", str(worktree / "target")])
        self.assertFalse(worktree.exists())
        # The manifest is fresh now: no second parse.
        _, plan = self.plan(project, "--select", "+fct_daily_refunds", *WINDOW)
        self.assertEqual([(d, a[0]) for d, a in self.calls()[4:]], [(project, "ls")])
        self.assertModels(plan, [("stg_orders", "2024-03-10", "2024-03-12", 0, []),
                                 ("fct_daily_refunds", "2024-03-07", "2024-03-12", 1, ["stg_orders"])])


def microbatch(refs, batch_size="day", meta=None, extra=""):
    config = "materialized='incremental', incremental_strategy='microbatch', begin='2024-03-01'"
    config += f", event_time='ts', batch_size='{batch_size}'{extra}"
    config += f", meta={{'tarn': {meta!r}}}" if meta else ""
    return f"{{{{ config({config}) }}}}\n" + " union all ".join(f"select ts from {{{{ {r} }}}}" for r in refs)


def made_here(project, models, yml=""):
    """A dbt-duckdb project of the given models and no package."""
    (project / "models").mkdir(parents=True)
    (project / "dbt_project.yml").write_text(
        "name: made_here\nversion: '1.0.0'\nconfig-version: 2\nprofile: made_here\n"
        "flags:\n  send_anonymous_usage_stats: false\n"
        "models:\n  made_here:\n    +concurrent_batches: false\n")
    (project / "profiles.yml").write_text(
        "made_here:\n  target: dev\n  outputs:\n    dev:\n      type: duckdb\n"
        "      path: target/made_here.duckdb\n      threads: 1\n")
    (project / "models" / "_models.yml").write_text(yml)
    for name, sql in models.items():
        (project / "models" / f"{name}.sql").write_text(sql)
    return project


# Forty days of March and April 2024, one row each.
SOURCE = microbatch([]) + "select timestamp '2024-03-01' + to_days(cast(i as int)) as ts from range(40) t(i)"
# Two windows meeting again, a lookahead, an override, a monthly model, a name that needs shell
# quoting, and a versioned model rebuilt whole with its microbatch child.
MODELS = {
    "src": SOURCE,
    "daily$rev&eur": microbatch(["ref('src')"]),
    # dbt's own lookback would add batches if dbt applied it to a given range.
    "left": microbatch(["ref('src')"], meta={"lookback": 1}, extra=", lookback=3"),
    "right": microbatch(["ref('src')"], meta={"lookahead": 2}),
    "joined": microbatch(["ref('left')", "ref('right')"],
                         meta={"lookback": 2, "lookback_overrides": {"right": 0}}),
    "monthly": microbatch(["ref('joined')"], batch_size="month"),
    "dim_v1": "{{ config(materialized='table') }}\nselect ts from {{ ref('src') }}\n",
    "dim_v2": "{{ config(materialized='table') }}\nselect ts, 2 as v from {{ ref('src') }}\n",
    "uses_dim": microbatch(["ref('dim', v=1)"]),
}
VERSIONS = "models:\n  - name: dim\n    latest_version: 2\n    versions:\n      - v: 1\n      - v: 2\n"


def days(start, end, last=True):
    """The days from start to end, without end when last is false."""
    first, final = datetime.date.fromisoformat(start[:10]), datetime.date.fromisoformat(end[:10])
    return [first + datetime.timedelta(days=n) for n in range((final - first).days + last)]


class Runbook(DbtTestCase):
    def test_dbt_rebuilds_exactly_the_planned_days_in_order(self):
        runbook, kept = self.root / "runbook.sh", self.root / "kept"
        project = made_here(self.root / "p", MODELS, VERSIONS)
        _, plan = self.plan(project, "--select", "src+", *WINDOW, "--runbook", runbook)
        kept.mkdir()
        run(["sh", "-c", runbook.read_text()], project, env=dict(self.env, KEEP=str(kept)))
        results = [r for path in sorted(kept.iterdir()) for r in json.loads(path.read_text())["results"]]
        position = {r["unique_id"].split(".", 2)[2]: n for n, r in enumerate(results)}
        self.assertEqual(len(position), len(results), "a model ran twice")
        planned = {m["name"]: m for m in plan["models"]}
        self.assertEqual(sorted(position), sorted(planned))
        for name, model in planned.items():
            result = results[position[name]]
            self.assertEqual(result["status"], "success", result)
            for parent in model["depends_on"]:
                self.assertLess(position[parent], position[name], f"{name} ran before {parent}")
            batches = result.get("batch_results")  # none for a model rebuilt whole
            if batches is not None:
                ran = sorted(d for start, end in batches["successful"] for d in days(start, end, False))
                wanted = days(model["event_time_start"], model["event_time_end"])
                # Month batches cover the days.
                self.assertTrue(set(wanted) <= set(ran) if name == "monthly" else wanted == ran, name)


HOSTILE = ["p|ipe", "<b>bold", "<script>alert(1)", "[link](javascript:x)", "`tick`_em_", "back\\slash!#h",
           "&amp;*bold*"]
RENDER = "import sys, markdown_it\nprint(markdown_it.MarkdownIt().enable('table').render(sys.stdin.read()))"
ALLOWED = {"h3", "p", "ul", "li", "strong", "table", "thead", "tbody", "tr", "th", "td", "details", "summary",
           "pre", "code"}


class Summary(DbtTestCase):
    def test_hostile_model_names_stay_text_in_the_rendered_table(self):
        models = dict({"src": SOURCE}, **{name: "select ts from {{ ref('src') }}\n" for name in HOSTILE})
        done, _ = self.plan(made_here(self.root / "p", models), "--select", "src+", *WINDOW, "--summary", "-")
        page = run([CONFIG.markdown_python, "-c", RENDER], self.root, input=done.stdout).stdout
        self.assertLessEqual(set(re.findall(r"<(\w+)", page)), ALLOWED)
        rows = [[html.unescape(re.sub(r"<[^>]*>", "", c)) for c in re.findall(r"<t[dh][^>]*>(.*?)</t", row)]
                for row in re.findall(r"<tr>(.*?)</tr>", page, re.S)]
        header = ["layer", "model", "window", "days", "lookback", "lookahead", "selected parents"]
        self.assertEqual(rows[0], header)
        self.assertEqual(rows[1][:4], ["0", "src", "2024-03-10 to 2024-03-12", "3"])
        self.assertEqual(sorted(row[1] for row in rows[2:]), sorted(HOSTILE))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--binary", "--dbt", "--example", "--markdown-python"):
        parser.add_argument(option, required=True)
    options, rest = parser.parse_known_args()
    CONFIG.__dict__.update(vars(options))
    unittest.main(argv=[sys.argv[0], "-v", *rest])
