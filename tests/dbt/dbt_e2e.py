#!/usr/bin/env python3
"""tarn-dbt-plan against the real dbt, on copies of examples/jaffle_events.

Run by CTest (tests/dbt/CMakeLists.txt):

    dbt_e2e.py --binary B --dbt D --example E --work W --compile
        copies the example to W/compiled and runs `dbt deps` and `dbt parse`
        there once, so that most tests start from a fresh manifest;
    dbt_e2e.py --binary B --dbt D --example E --work W TestClass...
        runs unittest test classes of this file.

Every test works in its own temporary directory (kept when TARN_E2E_KEEP is
set) with TMPDIR pointing into it, and checks afterwards that no git worktree
and no baseline directory was left behind, whether the test passed or not.
"""

import argparse
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
RECORDER = HERE / "record-dbt"
WINDOW = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]
BASELINE_PREFIX = "tarn-dbt-plan-state-"
UNTRACKED = ["target", "dbt_packages", "logs", "*.duckdb", "*.duckdb.wal", ".user.yml"]

CONFIG = argparse.Namespace()


def dbt_environment(tmpdir=None):
    env = dict(os.environ)
    env["DBT_SEND_ANONYMOUS_USAGE_STATS"] = "false"
    env["DO_NOT_TRACK"] = "1"
    if tmpdir is not None:
        env["TMPDIR"] = str(tmpdir)
    return env


def require_dbt():
    try:
        subprocess.run(
            [CONFIG.dbt, "--version"],
            env=dbt_environment(),
            capture_output=True,
            check=True,
            timeout=120,
        )
    except (OSError, subprocess.SubprocessError) as error:
        sys.exit(
            f"error: dbt is not usable at {CONFIG.dbt} ({error}) -- "
            "run scripts/setup-dbt to install it into the project's .venv"
        )


def compile_example():
    """The shared starting point: the example with its package and manifest."""
    compiled = Path(CONFIG.work) / "compiled"
    shutil.rmtree(compiled, ignore_errors=True)
    shutil.copytree(CONFIG.example, compiled, ignore=shutil.ignore_patterns(*UNTRACKED))
    for subcommand in ("deps", "parse"):
        done = subprocess.run(
            [CONFIG.dbt, subcommand],
            cwd=compiled,
            env=dbt_environment(),
            capture_output=True,
            text=True,
            timeout=600,
        )
        if done.returncode != 0:
            sys.exit(f"error: `dbt {subcommand}` failed in {compiled}:\n{done.stdout}{done.stderr}")
    print(f"compiled the example in {compiled}")


def copy_compiled(destination):
    """A private copy of the compiled example, modification times kept so
    that its manifest is still newer than every input. The local package,
    a link into the shared copy, becomes a real directory."""
    shutil.copytree(Path(CONFIG.work) / "compiled", destination, symlinks=False)
    return Path(destination)


def git(repo, *args):
    done = subprocess.run(
        ["git", "-c", "user.name=tarn test", "-c", "user.email=tarn@example.invalid", *args],
        cwd=repo,
        capture_output=True,
        text=True,
        timeout=60,
    )
    if done.returncode != 0:
        raise AssertionError(f"git {' '.join(args)} failed:\n{done.stderr}")
    return done.stdout


def touch_later(path):
    """Make a file newer than anything dbt wrote before, even on file systems
    with coarse timestamps."""
    later = time.time_ns() + 2_000_000_000
    os.utime(path, ns=(later, later))


class DbtTestCase(unittest.TestCase):
    def setUp(self):
        # Outside any git repository, so that no tarn.yml above the project
        # (the build tree lies inside this repository) takes part.
        name = self.id().split(".", 1)[1]
        self.root = Path(tempfile.mkdtemp(prefix=f"tarn-dbt-e2e-{name}-")).resolve()
        self.tmpdir = self.root / "tmp"
        self.tmpdir.mkdir(parents=True)
        self.repositories = []
        self.dbt_log = self.root / "dbt-calls.log"

    def tearDown(self):
        for repository in self.repositories:
            listing = git(repository, "worktree", "list", "--porcelain")
            worktrees = [line for line in listing.splitlines() if line.startswith("worktree ")]
            self.assertEqual(
                worktrees, [f"worktree {repository}"], f"a worktree was left registered:\n{listing}"
            )
        leftovers = [name for name in os.listdir(self.tmpdir) if name.startswith(BASELINE_PREFIX)]
        self.assertEqual(leftovers, [], f"baseline directories left in {self.tmpdir}")
        if not os.environ.get("TARN_E2E_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)

    # -- running the program -------------------------------------------------

    def dbt_command(self, record=True):
        if not record:
            return shlex.quote(CONFIG.dbt)
        return " ".join(shlex.quote(str(word)) for word in (RECORDER, self.dbt_log, CONFIG.dbt))

    def command(self, *args, record=True):
        return [CONFIG.binary, *args, "--dbt-command", self.dbt_command(record)]

    def run_plan(self, *args, cwd=None, record=True):
        return subprocess.run(
            self.command(*args, record=record),
            cwd=cwd or self.root,
            env=dbt_environment(self.tmpdir),
            capture_output=True,
            text=True,
            timeout=600,
        )

    def plan_ok(self, project, *args, output=None):
        """Runs the program on project, expects success, returns the plan."""
        output = output or self.root / "plan.json"
        done = self.run_plan("--project-dir", str(project), "-o", str(output), *args)
        self.assertEqual(done.returncode, 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        with open(output, encoding="utf-8") as plan_file:
            return json.load(plan_file)

    def dbt_calls(self):
        """(working directory, arguments) of every dbt start, in order."""
        if not self.dbt_log.exists():
            return []
        calls = []
        for line in self.dbt_log.read_text(encoding="utf-8").splitlines():
            directory, _, arguments = line.partition("\t")
            calls.append((directory, shlex.split(arguments)))
        return calls

    def subcommands(self):
        return [arguments[0] for _, arguments in self.dbt_calls()]

    # -- checking plans ------------------------------------------------------

    def assertModels(self, plan, expected):
        """expected: (name, start, end, layer, depends_on) per model, in plan order."""
        got = [
            (m["name"], m["event_time_start"], m["event_time_end"], m["layer"], m["depends_on"])
            for m in plan["models"]
        ]
        self.assertEqual(got, expected)

    def assertNoWarnings(self, plan):
        self.assertEqual(plan["metadata"]["warnings"], [])

    # -- git repositories ----------------------------------------------------

    def make_repository(self, project_subdir=""):
        """A repository on branch main holding the compiled example at
        project_subdir, and a branch feature checked out on top of it."""
        repository = self.root / "repo"
        project = repository / project_subdir if project_subdir else repository
        project.parent.mkdir(parents=True, exist_ok=True)
        copy_compiled(project)
        (repository / ".gitignore").write_text("".join(f"{p}\n" for p in UNTRACKED))
        git(repository, "init", "-q", "-b", "main")
        self.repositories.append(repository.resolve())
        git(repository, "add", "-A")
        git(repository, "commit", "-q", "-m", "example")
        git(repository, "checkout", "-q", "-b", "feature")
        return repository, project

    def commit_change(self, repository, model_file, old, new):
        text = model_file.read_text(encoding="utf-8")
        self.assertIn(old, text)
        model_file.write_text(text.replace(old, new), encoding="utf-8")
        touch_later(model_file)
        git(repository, "commit", "-q", "-am", f"change {model_file.name}")


class Freshness(DbtTestCase):
    def test_a_fresh_manifest_starts_no_dbt_parse(self):
        project = copy_compiled(self.root / "project")
        manifest = project / "target" / "manifest.json"
        before = manifest.stat().st_mtime_ns
        # dbt ls would rewrite the manifest too; --no-write-json keeps it
        # still, so its time shows that nothing else touched it.
        plan = self.plan_ok(project, "--select", "stg_orders", *WINDOW, "--dbt-args", "--no-write-json")
        self.assertEqual(self.subcommands(), ["ls"])
        self.assertEqual(manifest.stat().st_mtime_ns, before)
        compiled_at = json.loads(manifest.read_text())["metadata"]["generated_at"]
        self.assertEqual(plan["metadata"]["manifest_generated_at"], compiled_at)
        self.assertModels(plan, [("stg_orders", "2024-03-10", "2024-03-12", 0, [])])

    def test_a_new_model_is_parsed_by_dbt_before_the_manifest_is_read(self):
        project = copy_compiled(self.root / "project")
        manifest = project / "target" / "manifest.json"
        before = manifest.stat().st_mtime_ns
        refunds = project / "models" / "marts" / "fct_daily_refunds.sql"
        refunds.write_text(
            "{{ config(materialized='incremental', incremental_strategy='microbatch',\n"
            "          event_time='ordered_at', batch_size='day', begin='2024-01-01',\n"
            "          meta={'tarn': {'lookback': 3}}) }}\n"
            "select * from {{ ref('stg_orders') }} where amount < 0\n"
        )
        touch_later(refunds)
        plan = self.plan_ok(project, "--select", "stg_orders+", "--exclude", "tag:rollup", *WINDOW)
        calls = self.dbt_calls()
        self.assertEqual([args[0] for _, args in calls], ["parse", "ls"])
        self.assertEqual(Path(calls[0][0]).resolve(), project.resolve())
        self.assertEqual(calls[0][1], ["parse"])
        self.assertNotEqual(manifest.stat().st_mtime_ns, before)
        self.assertModels(
            plan,
            [
                ("stg_orders", "2024-03-10", "2024-03-12", 0, []),
                ("fct_daily_orders", "2024-03-08", "2024-03-12", 1, ["stg_orders"]),
                ("fct_daily_refunds", "2024-03-07", "2024-03-12", 1, ["stg_orders"]),
            ],
        )

    def test_touching_a_model_refreshes_the_manifest(self):
        project = copy_compiled(self.root / "project")
        manifest = project / "target" / "manifest.json"
        compiled_at = json.loads(manifest.read_text())["metadata"]["generated_at"]
        touch_later(project / "models" / "staging" / "stg_events.sql")
        plan = self.plan_ok(project, "--select", "stg_events", *WINDOW)
        self.assertEqual(self.subcommands(), ["parse", "ls"])
        # The plan reports the manifest as read: the one dbt parse just wrote.
        self.assertGreater(plan["metadata"]["manifest_generated_at"], compiled_at)

class PackagesAndPaths(DbtTestCase):
    """Inputs beyond the default folders: each change is parsed once."""

    def setUp(self):
        super().setUp()
        self.project = copy_compiled(self.root / "project")
        self.installed = self.project / "dbt_packages" / "jaffle_finance"

    def set_fx_rates_lookback(self, package, lookback):
        finance = package / "models" / "_finance.yml"
        text = finance.read_text()
        self.assertIn("  - name: fx_rates\n", text)
        finance.write_text(
            text.replace(
                "  - name: fx_rates\n",
                f"  - name: fx_rates\n    config: {{meta: {{tarn: {{lookback: {lookback}}}}}}}\n",
            )
        )
        return finance

    def lookback_twice(self, name):
        """The model's lookback in two runs, of which only the first should parse."""
        lookbacks = []
        for _ in range(2):
            plan = self.plan_ok(self.project, "--select", name, *WINDOW)
            lookbacks += [m["lookback"] for m in plan["models"] if m["name"] == name]
        return lookbacks

    def test_a_lookback_changed_in_a_local_package(self):
        # Linked into the packages folder as dbt deps leaves it, the folder's
        # own time kept.
        folder_times = self.installed.parent.stat()
        shutil.rmtree(self.installed)
        self.installed.symlink_to(self.project / "packages" / "jaffle_finance")
        os.utime(self.installed.parent, ns=(folder_times.st_atime_ns, folder_times.st_mtime_ns))
        touch_later(self.set_fx_rates_lookback(self.project / "packages" / "jaffle_finance", 5))
        self.assertEqual(self.lookback_twice("fx_rates"), [5, 5])
        self.assertEqual(self.subcommands(), ["parse", "ls", "ls"])

    def test_an_upgraded_package_whose_files_keep_their_old_times(self):
        # dbt deps unpacks a package, keeping the archive's times (here a
        # day before the manifest), and moves it into the packages folder.
        unpacked = self.root / "unpacked"
        shutil.copytree(self.installed, unpacked)
        finance = self.set_fx_rates_lookback(unpacked, 4)
        archived = (self.project / "target" / "manifest.json").stat().st_mtime_ns - 86_400 * 10**9
        os.utime(finance, ns=(archived, archived))
        shutil.rmtree(self.installed)
        os.rename(unpacked, self.installed)
        self.assertEqual(self.lookback_twice("fx_rates"), [4, 4])
        self.assertEqual(self.subcommands(), ["parse", "ls", "ls"])

    def test_configured_model_paths(self):
        os.rename(self.project / "models", self.project / "transform")
        dbt_project = self.project / "dbt_project.yml"
        text = dbt_project.read_text()
        self.assertIn('model-paths: ["models"]', text)
        dbt_project.write_text(text.replace('model-paths: ["models"]', 'model-paths: ["transform"]'))
        self.plan_ok(self.project, "--select", "stg_orders", *WINDOW)
        marts = self.project / "transform" / "marts" / "_marts.yml"
        marts.write_text(marts.read_text().replace("lookback: 2 ", "lookback: 5 "))
        touch_later(marts)
        self.assertEqual(self.lookback_twice("fct_daily_orders"), [5, 5])
        self.assertEqual(self.subcommands(), ["parse", "ls", "parse", "ls", "ls"])


class Selectors(DbtTestCase):
    """dbt's selector grammar reaches dbt ls unchanged; the windows follow."""

    def setUp(self):
        super().setUp()
        self.project = copy_compiled(self.root / "project")

    def test_graph_operator_upstream(self):
        plan = self.plan_ok(self.project, "--select", "+fct_daily_orders", *WINDOW)
        self.assertModels(
            plan,
            [
                ("stg_customers", "2024-03-10", "2024-03-12", 0, []),
                ("stg_orders", "2024-03-10", "2024-03-12", 0, []),
                ("fx_rates", "2024-03-10", "2024-03-12", 0, []),
                ("dim_customers.v2", "2024-03-10", "2024-03-12", 1, ["stg_customers"]),
                # lookback 2 days, but the fx_rates edge is overridden: 0 back, 3 ahead
                (
                    "fct_daily_orders",
                    "2024-03-08",
                    "2024-03-15",
                    2,
                    ["stg_orders", "dim_customers.v2", "fx_rates"],
                ),
            ],
        )
        self.assertNoWarnings(plan)
        orders = plan["models"][4]
        self.assertEqual(
            (orders["lookback"], orders["lookback_unit"], orders["lookahead"], orders["lookahead_unit"]),
            (2, "day", 0, "day"),
        )

    def test_tag_with_descendants(self):
        plan = self.plan_ok(self.project, "--select", "tag:daily+", *WINDOW)
        self.assertModels(
            plan,
            [
                ("fct_daily_orders", "2024-03-10", "2024-03-12", 0, []),
                ("fct_daily_sessions", "2024-03-10", "2024-03-12", 0, []),
                ("rpt_monthly_revenue", "2024-02-10", "2024-04-12", 1, ["fct_daily_orders"]),
                (
                    "rpt_weekly_engagement",
                    "2024-03-08",
                    "2024-03-19",
                    1,
                    ["fct_daily_sessions", "fct_daily_orders"],
                ),
            ],
        )
        # The example's tarn.yml lowers the limit to 60 days.
        self.assertEqual(plan["metadata"]["max_window_expansion_days"], 60)
        self.assertEqual(
            plan["metadata"]["warnings"],
            [
                {
                    "model": "rpt_monthly_revenue",
                    "message": "expanded window (63 days) exceeds max_window_expansion_days (60)",
                }
            ],
        )
        monthly = plan["models"][2]
        self.assertEqual(
            (monthly["lookback"], monthly["lookback_unit"], monthly["lookahead"], monthly["lookahead_unit"]),
            (1, "month", 1, "month"),
        )

    def test_path_with_a_two_word_exclude(self):
        plan = self.plan_ok(
            self.project,
            "--select",
            "path:models/staging+",
            "--exclude",
            "tag:rollup dim_customers",
            *WINDOW,
        )
        self.assertModels(
            plan,
            [
                ("stg_customers", "2024-03-10", "2024-03-12", 0, []),
                ("stg_events", "2024-03-10", "2024-03-12", 0, []),
                ("stg_orders", "2024-03-10", "2024-03-12", 0, []),
                ("fct_daily_sessions", "2024-03-09", "2024-03-12", 1, ["stg_events"]),
                ("fct_daily_orders", "2024-03-08", "2024-03-12", 1, ["stg_orders"]),
            ],
        )
        _, ls_arguments = self.dbt_calls()[-1]
        self.assertEqual(
            ls_arguments,
            [
                "ls", "--resource-type", "model", "--output", "name", "--quiet",
                "--select", "path:models/staging+",
                "--exclude", "tag:rollup", "dim_customers",
            ],
        )  # fmt: skip

    def test_a_misspelt_selector_says_it_matched_nothing(self):
        output = self.root / "plan.json"
        done = self.run_plan(
            "--project-dir", str(self.project), "-o", str(output),
            "--select", "stg_evnts+", "--exclude", "tag:rollup", *WINDOW,
        )  # fmt: skip
        self.assertEqual(
            (done.returncode, done.stdout, done.stderr),
            (0, "", "note: --select stg_evnts+ --exclude tag:rollup matched no models\n"),
        )
        self.assertEqual(json.loads(output.read_text())["models"], [])

    def test_one_version_of_a_versioned_model(self):
        plan = self.plan_ok(
            self.project, "--select", "dim_customers.v2+", "--exclude", "tag:rollup", *WINDOW
        )
        self.assertModels(
            plan,
            [
                ("dim_customers.v2", "2024-03-10", "2024-03-12", 0, []),
                ("fct_daily_orders", "2024-03-08", "2024-03-12", 1, ["dim_customers.v2"]),
            ],
        )


class VersionedModels(DbtTestCase):
    """dim_customers.v1 looks back 3 days, v2 not at all; each has a child."""

    def setUp(self):
        super().setUp()
        self.project = copy_compiled(self.root / "project")
        dimensions = self.project / "models" / "dimensions"
        versions = dimensions / "_dimensions.yml"
        text = versions.read_text()
        self.assertIn("      - v: 1\n", text)
        versions.write_text(
            text.replace("      - v: 1\n", "      - v: 1\n        config: {meta: {tarn: {lookback: 3}}}\n")
        )
        legacy = dimensions / "rpt_legacy_customers.sql"
        legacy.write_text("select * from {{ ref('dim_customers', v=1) }}\n")
        touch_later(versions)
        touch_later(legacy)

    def test_each_version_is_planned_and_shown_under_its_own_name(self):
        output = self.root / "plan.json"
        done = self.run_plan(
            "--project-dir", str(self.project), "-o", str(output), "--pretty", "--html",
            "--select", "stg_customers+", "--exclude", "tag:rollup", *WINDOW,
        )  # fmt: skip
        self.assertEqual(done.returncode, 0, done.stderr)
        tree, _, wrote = done.stdout.rpartition("wrote ")
        report = Path(wrote.rstrip("\n")).read_text(encoding="utf-8")
        self.assertIn('{"upstream":"dim_customers.v1","downstream":"rpt_legacy_customers"}', report)
        plan = json.loads(output.read_text())
        self.assertModels(
            plan,
            [
                ("stg_customers", "2024-03-10", "2024-03-12", 0, []),
                ("dim_customers.v1", "2024-03-07", "2024-03-12", 1, ["stg_customers"]),
                ("dim_customers.v2", "2024-03-10", "2024-03-12", 1, ["stg_customers"]),
                ("rpt_legacy_customers", "2024-03-07", "2024-03-12", 2, ["dim_customers.v1"]),
                ("fct_daily_orders", "2024-03-08", "2024-03-12", 2, ["dim_customers.v2"]),
            ],
        )
        self.assertEqual(
            [warning["model"] for warning in plan["metadata"]["warnings"]], ["dim_customers.v1"]
        )
        self.assertEqual(
            tree,
            "[layer 0] stg_customers [2024-03-10 .. 2024-03-12]\n"
            "  [layer 1] dim_customers.v1 [2024-03-07 .. 2024-03-12]\n"
            "  [layer 1] dim_customers.v2 [2024-03-10 .. 2024-03-12]\n"
            "    [layer 2] rpt_legacy_customers [2024-03-07 .. 2024-03-12]\n"
            "    [layer 2] fct_daily_orders [2024-03-08 .. 2024-03-12]\n",
        )
        self.assertIn("warning: dim_customers.v1: declares config.meta.tarn", done.stderr)

    def test_the_anchor_names_one_version(self):
        done = self.run_plan(
            "--project-dir", str(self.project), "-o", str(self.root / "plan.json"),
            "--select", "stg_customers+", "--anchor", "dim_customers", *WINDOW,
        )  # fmt: skip
        self.assertEqual(done.returncode, 1)
        self.assertEqual(
            done.stderr,
            'error: --anchor "dim_customers" names a versioned model with 2 versions selected by '
            "--select -- pass one of them: dim_customers.v1, dim_customers.v2\n",
        )
        plan = self.plan_ok(
            self.project, "--select", "stg_customers+", "--exclude", "tag:rollup",
            "--anchor", "dim_customers.v1", *WINDOW,
        )  # fmt: skip
        self.assertEqual(plan["metadata"]["anchor_model"], "dim_customers.v1")
        windows = {m["name"]: (m["event_time_start"], m["event_time_end"]) for m in plan["models"]}
        self.assertEqual(windows["stg_customers"], ("2024-03-07", "2024-03-12"))
        self.assertEqual(windows["dim_customers.v1"], ("2024-03-10", "2024-03-12"))


class StaleManifest(DbtTestCase):
    def test_a_model_missing_from_the_given_manifest_is_named(self):
        project = copy_compiled(self.root / "project")
        stale = self.root / "stale-manifest.json"
        shutil.copy2(project / "target" / "manifest.json", stale)
        refunds = project / "models" / "marts" / "fct_daily_refunds.sql"
        refunds.write_text("select * from {{ ref('stg_orders') }} where amount < 0\n")
        touch_later(refunds)
        output = self.root / "plan.json"
        done = self.run_plan(
            "--project-dir", str(project), "--manifest", str(stale), "-o", str(output),
            "--select", "stg_orders+", *WINDOW,
        )  # fmt: skip
        self.assertEqual(done.returncode, 1, done.stderr)
        # dbt parse refreshed the project's own manifest, not the one given.
        self.assertEqual(self.subcommands(), ["parse", "ls"])
        self.assertEqual(
            done.stderr,
            f"error: `{self.dbt_command()} ls` selected fct_daily_refunds, which isn't a model in "
            "the compiled manifest -- the manifest at --manifest is likely out of sync with the "
            "current project state; delete it and rerun (or point --manifest at a freshly "
            "compiled one)\n",
        )
        self.assertEqual(done.stdout, "")
        self.assertFalse(output.exists())


class StateBaseline(DbtTestCase):
    """state:modified+ against a baseline compiled by dbt in a git worktree."""

    # fct_daily_sessions changed on the branch: it and its descendant are planned.
    MODIFIED_SESSIONS = [
        ("fct_daily_sessions", "2024-03-10", "2024-03-12", 0, []),
        ("rpt_weekly_engagement", "2024-03-10", "2024-03-19", 1, ["fct_daily_sessions"]),
    ]

    def check_against_main(self, project_subdir):
        repository, project = self.make_repository(project_subdir)
        self.commit_change(
            repository,
            project / "models" / "marts" / "fct_daily_sessions.sql",
            "count(*) as events",
            "count(*) as events,\n    count(distinct event_name) as distinct_events",
        )
        plan = self.plan_ok(project, "--select", "state:modified+", "--against", "main", *WINDOW)
        self.assertModels(plan, self.MODIFIED_SESSIONS)
        self.assertNoWarnings(plan)

        calls = self.dbt_calls()
        self.assertEqual([args[0] for _, args in calls], ["parse", "deps", "parse", "ls"])
        self.assertEqual(Path(calls[0][0]).resolve(), project.resolve())
        worktree_project = Path(calls[1][0])
        self.assertTrue(
            str(worktree_project).startswith(str(self.tmpdir / BASELINE_PREFIX)), worktree_project
        )
        expected_tail = Path(project_subdir).parts if project_subdir else ()
        if expected_tail:
            self.assertEqual(worktree_project.parts[-len(expected_tail) :], expected_tail)
        self.assertEqual(Path(calls[2][0]), worktree_project)
        ls_directory, ls_arguments = calls[3]
        self.assertEqual(Path(ls_directory).resolve(), project.resolve())
        self.assertEqual(ls_arguments[-2:], ["--state", str(worktree_project / "target")])
        self.assertFalse(worktree_project.exists())

    def test_project_at_the_repository_root(self):
        self.check_against_main("")

    def test_project_in_a_subdirectory(self):
        self.check_against_main("analytics/jaffle_events")

    def test_nothing_modified_is_an_empty_plan_with_a_note(self):
        _, project = self.make_repository()
        output = self.root / "plan.json"
        done = self.run_plan(
            "--project-dir", str(project), "-o", str(output),
            "--select", "state:modified+", "--against", "main", *WINDOW,
        )  # fmt: skip
        self.assertEqual(
            (done.returncode, done.stderr),
            (0, "note: --select state:modified+ matched no models\n"),
        )
        self.assertEqual(json.loads(output.read_text())["models"], [])

    def test_an_explicit_state_directory_needs_no_git(self):
        project = copy_compiled(self.root / "project")
        baseline = self.root / "baseline"
        shutil.copytree(project / "target", baseline)
        orders = project / "models" / "marts" / "fct_daily_orders.sql"
        orders.write_text(orders.read_text().replace("as amount_eur", "as amount_in_eur"))
        touch_later(orders)
        # Not a repository of its own, and a ref that exists nowhere: git
        # would fail if it were asked.
        plan = self.plan_ok(
            project,
            "--select", "state:modified+", "--state", str(baseline), "--against", "no-such-ref",
            *WINDOW,
        )  # fmt: skip
        self.assertModels(
            plan,
            [
                ("fct_daily_orders", "2024-03-10", "2024-03-12", 0, []),
                ("rpt_monthly_revenue", "2024-02-10", "2024-04-12", 1, ["fct_daily_orders"]),
                ("rpt_weekly_engagement", "2024-03-08", "2024-03-19", 1, ["fct_daily_orders"]),
            ],
        )
        self.assertEqual(self.subcommands(), ["parse", "ls"])
        self.assertEqual(self.dbt_calls()[1][1][-2:], ["--state", str(baseline)])


class Anchor(DbtTestCase):
    def setUp(self):
        super().setUp()
        self.project = copy_compiled(self.root / "project")

    def test_ancestors_are_planned_backwards_from_the_anchor(self):
        plan = self.plan_ok(
            self.project,
            "--select", "+rpt_weekly_engagement", "--anchor", "fct_daily_orders",
            "--event-time-start", "2024-03-10", "--event-time-end", "2024-03-10",
        )  # fmt: skip
        self.assertEqual(plan["metadata"]["anchor_model"], "fct_daily_orders")
        self.assertEqual(
            plan["metadata"]["anchor_window"],
            {"event_time_start": "2024-03-10", "event_time_end": "2024-03-10", "source": "explicit"},
        )
        self.assertModels(
            plan,
            [
                # ancestors: two days back through fct_daily_orders' lookback,
                # fx_rates through its overrides (0 back, 3 ahead)
                ("stg_customers", "2024-03-08", "2024-03-10", 0, []),
                ("stg_events", "2024-03-10", "2024-03-10", 0, []),
                ("stg_orders", "2024-03-08", "2024-03-10", 0, []),
                ("fx_rates", "2024-03-10", "2024-03-13", 0, []),
                ("dim_customers.v2", "2024-03-08", "2024-03-10", 1, ["stg_customers"]),
                ("fct_daily_sessions", "2024-03-09", "2024-03-10", 1, ["stg_events"]),
                (
                    "fct_daily_orders",
                    "2024-03-10",
                    "2024-03-10",
                    2,
                    ["stg_orders", "dim_customers.v2", "fx_rates"],
                ),
                (
                    "rpt_weekly_engagement",
                    "2024-03-08",
                    "2024-03-17",
                    3,
                    ["fct_daily_sessions", "fct_daily_orders"],
                ),
            ],
        )

    def test_an_anchor_outside_the_selection_lists_the_selection(self):
        done = self.run_plan(
            "--project-dir", str(self.project), "-o", str(self.root / "plan.json"),
            "--select", "+rpt_weekly_engagement", "--anchor", "rpt_monthly_revenue", *WINDOW,
        )  # fmt: skip
        self.assertEqual(done.returncode, 1)
        self.assertEqual(
            done.stderr,
            'error: --anchor "rpt_monthly_revenue" is not among the 8 model(s) selected by '
            "--select: dim_customers.v2, fct_daily_orders, fct_daily_sessions, fx_rates, "
            "rpt_weekly_engagement, stg_customers, stg_events, stg_orders\n",
        )


class Interruption(DbtTestCase):
    """A signal while dbt parse compiles the baseline leaves no worktree."""

    def interrupt_baseline_parse(self, signal_number, whole_group):
        repository, project = self.make_repository()
        self.commit_change(
            repository,
            project / "models" / "staging" / "stg_events.sql",
            "lower(event_name)",
            "upper(event_name)",
        )
        program = subprocess.Popen(
            self.command("--project-dir", str(project), "--select", "state:modified+",
                         "--against", "main", *WINDOW),
            cwd=self.root,
            env=dbt_environment(self.tmpdir),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )  # fmt: skip
        try:
            self.wait_for_baseline_parse(program)
            if whole_group:
                os.killpg(program.pid, signal_number)  # what a terminal's Ctrl-C does
            else:
                os.kill(program.pid, signal_number)
            stdout, stderr = program.communicate(timeout=120)
        finally:
            if program.poll() is None:
                os.killpg(program.pid, signal.SIGKILL)
                program.communicate()
        self.assertEqual(program.returncode, 128 + signal_number, stderr)
        self.assertRegex(stderr, r"\Aerror: [^\n]*\n\Z")
        self.assertEqual(stdout, "")
        self.assertEqual(os.listdir(self.tmpdir), [])

    def wait_for_baseline_parse(self, program):
        """Returns once dbt parse has started in the worktree and written its log."""
        deadline = time.monotonic() + 180
        while time.monotonic() < deadline:
            if program.poll() is not None:
                self.fail(f"the program ended before it could be interrupted:\n{program.communicate()}")
            for directory, arguments in self.dbt_calls():
                in_baseline = directory.startswith(str(self.tmpdir / BASELINE_PREFIX))
                if in_baseline and arguments[0] == "parse":
                    if (Path(directory) / "logs" / "dbt.log").exists():
                        time.sleep(0.3)
                        return
            time.sleep(0.05)
        self.fail("dbt parse never started in the baseline worktree")

    def test_ctrl_c_at_the_terminal(self):
        self.interrupt_baseline_parse(signal.SIGINT, whole_group=True)

    def test_sigint_to_the_program(self):
        self.interrupt_baseline_parse(signal.SIGINT, whole_group=False)

    def test_sigterm_to_the_program(self):
        self.interrupt_baseline_parse(signal.SIGTERM, whole_group=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--dbt", required=True)
    parser.add_argument("--example", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--compile", action="store_true")
    options, rest = parser.parse_known_args()
    CONFIG.__dict__.update(vars(options))
    CONFIG.work = os.path.realpath(CONFIG.work)
    require_dbt()
    if options.compile:
        compile_example()
        return
    if not (Path(CONFIG.work) / "compiled" / "target" / "manifest.json").exists():
        sys.exit("error: the compiled example is missing -- run the dbt.compile_example test first")
    unittest.main(module=__name__, argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
