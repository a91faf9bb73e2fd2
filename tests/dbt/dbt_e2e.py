#!/usr/bin/env python3
"""tarn-dbt-plan against the real dbt and git, on a project made here in a subdirectory of a
repository: `dbt_e2e.py BINARY DBT MARKDOWN_PYTHON`, in a directory of its own, which is also
its TMPDIR."""

import datetime, html, json, os, re, shlex, subprocess, sys, tempfile, unittest
from pathlib import Path

WINDOW = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]


def run(command, cwd, **options):
    done = subprocess.run(list(map(str, command)), cwd=cwd, capture_output=True, text=True, **options)
    if done.returncode != 0:
        raise AssertionError(f"{shlex.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def microbatch(refs, batch_size="day", meta=None, extra=""):
    config = "materialized='incremental', incremental_strategy='microbatch', begin='2024-03-01'"
    config += f", event_time='ts', batch_size='{batch_size}'{extra}"
    config += f", meta={{'tarn': {meta!r}}}" if meta else ""
    return f"{{{{ config({config}) }}}}\n" + " union all ".join(f"select ts from {{{{ {r} }}}}" for r in refs)


# Forty days of March and April 2024, one row each; two windows meeting again, a lookahead, an
# override, a monthly model, a name that needs shell quoting, and a versioned model rebuilt whole
# with its microbatch child.
MODELS = {
    "src": microbatch([]) + "select timestamp '2024-03-01' + to_days(i::int) as ts from range(40) t(i)",
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
# The project's files (YAML in flow style), a local package beside it that the baseline's worktree
# must install too, and what git ignores.
PROJECT = {
    "dbt_project.yml": "{name: made_here, version: '1.0.0', config-version: 2, profile: made_here, flags:"
    " {send_anonymous_usage_stats: false}, models: {made_here: {+concurrent_batches: false}}}",
    "profiles.yml": "made_here: {target: dev, outputs: {dev: {type: duckdb, path: target/d.db}}}",
    "models/_models.yml": "models: [{name: dim, latest_version: 2, versions: [{v: 1}, {v: 2}]}]",
    "packages.yml": "packages: [{local: ../pkg}]",
    "../pkg/dbt_project.yml": "{name: pkg, version: '1.0.0'}",
    "../../.gitignore": "target\nlogs\n.user.yml\ndbt_packages\n",
    **{f"models/{name}.sql": sql for name, sql in MODELS.items()},
}
HOSTILE = ["p|ipe", "<b>bold", "<script>alert(1)", "[link](javascript:x)", "`tick`_em_", "back\\slash!#h",
           "&amp;*bold*"]
RENDER = "import sys, markdown_it\nprint(markdown_it.MarkdownIt().enable('table').render(sys.stdin.read()))"


def days(start, end, last=True):
    """The days from start to end, without end when last is false."""
    first, final = datetime.date.fromisoformat(start[:10]), datetime.date.fromisoformat(end[:10])
    return [first + datetime.timedelta(days=n) for n in range((final - first).days + last)]


class RealDbt(unittest.TestCase):
    def plan(self, project, *args):
        """One run: its output, its plan and the dbt starts ("DIRECTORY SUBCOMMAND")."""
        dbt = shlex.join(["bash", "-c", 'echo "$PWD $2" >>"$0" && exec "$@"', str(self.log), DBT])
        self.log.write_text("")
        out = run([BINARY, "--project-dir", project, "-o", self.root / "plan.json",
                   "--dbt-command", dbt, *args, *WINDOW], self.root, env=self.env)
        plan = json.loads((self.root / "plan.json").read_text())
        return out, plan, self.log.read_text().splitlines()

    def test_state_selection_summary_and_runbook_on_a_project_in_a_subdirectory(self):
        # Outside any git repository, so that no tarn.yml above the project takes part.
        self.root = Path(self.enterContext(tempfile.TemporaryDirectory(prefix="tarn-dbt-e2e-"))).resolve()
        self.log, self.repository = self.root / "calls.log", self.root / "repo"
        self.env = dict(os.environ, DBT_SEND_ANONYMOUS_USAGE_STATS="false", TMPDIR=str(self.root))
        # main holds MODELS; the checked-out feature changes `left` and adds HOSTILE, whose names
        # the summary must keep as text.
        project = self.repository / "analytics" / "p"
        for name, text in PROJECT.items():
            (project / name).parent.mkdir(parents=True, exist_ok=True)
            (project / name).write_text(text)
        run([DBT, "deps"], project, env=self.env)
        run(["sh", "-c", "git init -qb main && git config user.name t && git config user.email t"
             " && git add -A && git commit -qm main && git checkout -qb feature"], self.repository)
        for name, sql in dict({n: "select 1 as ts" for n in HOSTILE}, left=MODELS["left"] + " -- x").items():
            (project / "models" / f"{name}.sql").write_text(sql)
        run(["sh", "-c", "git add -A && git commit -qm feature"], self.repository)

        md, _, _ = self.plan(project, "--select", "state:modified+", "--against", "main",
                             "--summary", "-")
        page = run([MARKDOWN_PYTHON, "-c", RENDER], self.root, input=md)
        rows = [re.findall(r"<t[dh][^>]*>(.*?)</t", r) for r in re.findall(r"<tr>(.*?)</tr>", page, re.S)]
        first = sorted([(name, "0 day") for name in HOSTILE] + [("left", "1 day")])
        self.assertEqual(rows, [
            ["layer", "model", "window", "days", "lookback", "lookahead", "selected parents"],
            *(["0", html.escape(n), "2024-03-10 to 2024-03-12", "3", b, "0 day", ""] for n, b in first),
            ["1", "joined", "2024-03-08 to 2024-03-12", "5", "2 day", "0 day", "left"],
            ["2", "monthly", "2024-03-08 to 2024-03-12", "5", "0 day", "0 day", "joined"]])

        # The manifest is fresh now: dbt ls alone.
        runbook = self.root / "runbook.sh"
        _, plan, calls = self.plan(project, "--select", "src+", "--runbook", runbook)
        self.assertEqual(calls, [f"{project} ls"])
        results = []  # of each command of the run-book, in order
        for command in runbook.read_text().splitlines()[1:]:
            if command and not command.startswith(("#", "set ")):
                run(["sh", "-ec", command], project, env=self.env)
                results += json.loads((project / "target" / "run_results.json").read_text())["results"]
        names = [r["unique_id"].split(".", 2)[2] for r in results]
        planned = {m["name"]: m for m in plan["models"]}
        self.assertEqual(sorted(names), sorted(planned))  # each once
        for name, model in planned.items():
            result = results[names.index(name)]
            for parent in model["depends_on"]:
                self.assertLess(names.index(parent), names.index(name), f"{name} ran before {parent}")
            batches = result.get("batch_results")  # none for a model rebuilt whole
            if batches is not None:
                ran = sorted(d for start, end in batches["successful"] for d in days(start, end, False))
                wanted = days(model["event_time_start"], model["event_time_end"])
                # Month batches cover the days.
                self.assertTrue(set(wanted) <= set(ran) if name == "monthly" else wanted == ran, name)


if __name__ == "__main__":
    BINARY, DBT, MARKDOWN_PYTHON = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[4:]])
