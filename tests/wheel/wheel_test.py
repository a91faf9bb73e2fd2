#!/usr/bin/env python3
"""The wheel as a dbt user gets it: `pip wheel` of the source tree, made
portable by `auditwheel repair`, installed with the pinned dbt into a fresh
virtual environment, then run there on a copy of the example project.

    wheel_test.py --source REPO --work DIR

Packages come from PyPI through pip (its cache makes reruns cheap).
"""

import argparse
import email.parser
import os
import re
import shutil
import subprocess
import sys
import unittest
import zipfile
from pathlib import Path

OPTIONS = argparse.Namespace()
UNTRACKED = ["target", "dbt_packages", "logs", "*.duckdb", "*.duckdb.wal", ".user.yml"]
PLAN_TREE = """\
[layer 0] stg_events [2024-03-10 .. 2024-03-12]
[layer 0] stg_orders [2024-03-10 .. 2024-03-12]
  [layer 1] fct_daily_sessions [2024-03-09 .. 2024-03-12]
  [layer 1] fct_daily_orders [2024-03-08 .. 2024-03-12]
    [layer 2] rpt_monthly_revenue [2024-02-08 .. 2024-04-12]
    [layer 2] rpt_weekly_engagement [2024-03-06 .. 2024-03-19]
"""
# What the installed program may load from the system: the C library's own
# parts, and the C++ runtime that the bundled simdjson library needs.
SYSTEM_LIBRARIES = {
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6",
    "libstdc++.so.6", "libgcc_s.so.1",
}  # fmt: skip


def run(*command, env=None, cwd=None):
    done = subprocess.run(
        [str(word) for word in command], env=env, cwd=cwd, capture_output=True, text=True
    )
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def fresh_venv(path):
    shutil.rmtree(path, ignore_errors=True)
    run(sys.executable, "-m", "venv", path)
    return Path(path)


def user_environment(venv):
    """As in a shell where the venv is activated."""
    env = dict(os.environ, DBT_SEND_ANONYMOUS_USAGE_STATS="false", DO_NOT_TRACK="1")
    env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env['PATH']}"
    env["VIRTUAL_ENV"] = str(venv)
    return env


class InstalledWheel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        source, work = Path(OPTIONS.source), Path(OPTIONS.work)
        tools = fresh_venv(work / "tools")
        pip = [tools / "bin" / "python", "-m", "pip", "--disable-pip-version-check", "-q"]
        run(*pip, "install", "-r", source / "tests" / "wheel" / "requirements-tools.txt")
        shutil.rmtree(work / "dist", ignore_errors=True)
        run(*pip, "wheel", "--no-deps", "-w", work / "dist", source)
        (built,) = (work / "dist").glob("*.whl")
        tools_path = dict(os.environ, PATH=f"{tools / 'bin'}{os.pathsep}{os.environ['PATH']}")
        run(tools / "bin" / "auditwheel", "repair", "-w", work / "dist" / "repaired", built,
            env=tools_path)  # fmt: skip
        (cls.wheel,) = (work / "dist" / "repaired").glob("*.whl")
        cls.show = run(tools / "bin" / "auditwheel", "show", cls.wheel, env=tools_path)

        cls.venv = fresh_venv(work / "venv")
        run(cls.venv / "bin" / "python", "-m", "pip", "--disable-pip-version-check", "-q",
            "install", cls.wheel, "-r", source / "requirements-dbt.txt")  # fmt: skip
        cls.env = user_environment(cls.venv)
        cls.project = work / "project"
        shutil.rmtree(cls.project, ignore_errors=True)
        shutil.copytree(
            source / "examples" / "jaffle_events",
            cls.project,
            ignore=shutil.ignore_patterns(*UNTRACKED),
        )
        run("dbt", "deps", "--quiet", cwd=cls.project, env=cls.env)

    def test_the_wheel_has_a_manylinux_tag(self):
        self.assertRegex(self.wheel.name, r"-py3-none-manylinux_\d+_\d+_x86_64\.whl$")
        self.assertRegex(self.show, r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"manylinux_')

    def test_the_version_is_the_wheels(self):
        with zipfile.ZipFile(self.wheel) as wheel:
            (metadata,) = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
            version = email.parser.Parser().parsestr(wheel.read(metadata).decode())["Version"]
        self.assertEqual(run("tarn-dbt-plan", "--version", env=self.env), f"tarn-dbt-plan {version}\n")

    def test_the_binary_needs_only_the_c_library_and_its_bundled_simdjson(self):
        (binary,) = self.venv.glob("lib/python*/site-packages/tarn_dbt_plan.scripts/tarn-dbt-plan")
        for line in run("ldd", binary).splitlines():
            library, _, location = line.strip().partition(" => ")
            location = location.split(" (")[0]
            if library.startswith("libsimdjson"):
                self.assertTrue(location.startswith(str(self.venv)), line)
            else:
                self.assertIn(Path(library.split(" ")[0]).name, SYSTEM_LIBRARIES, line)

    def test_the_installed_program_plans_the_example_with_the_dbt_beside_it(self):
        plan = run(
            "tarn-dbt-plan", "--project-dir", self.project, "--select", "stg_events+ stg_orders+",
            "--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12", "--pretty",
            env=self.env,
        )  # fmt: skip
        self.assertEqual(plan, PLAN_TREE)
        self.assertTrue((self.project / "target" / "tarn" / "dbt_plan.json").is_file())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    options, rest = parser.parse_known_args()
    OPTIONS.__dict__.update(vars(options))
    unittest.main(module=__name__, argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
