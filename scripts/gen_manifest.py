#!/usr/bin/env python3
"""Writes a synthetic dbt manifest.json for load benchmarks.

The shape follows what `dbt parse` (schema v12) writes: models with SQL
bodies, a dozen documented columns and a full config block; sources, seeds
and data tests; a random DAG where each model has about three parents; some
models carry config.meta.tarn with units and overrides, some are versioned.
Output is pretty-printed with indent=2, like dbt's own.

    scripts/gen_manifest.py --models 20000 --output /tmp/manifest.json
"""

import argparse
import json
import random
import sys

PROJECT = "synthetic_shop"
UNITS = ["day", "week", "month", "year"]
WORDS = (
    "order customer payment amount status region channel product revenue "
    "session event device campaign invoice shipment refund account balance "
    "ledger warehouse supplier margin discount tax currency country"
).split()


def words(rng, count):
    return " ".join(rng.choice(WORDS) for _ in range(count))


def column(rng, name):
    return {
        "name": name,
        "description": f"The {words(rng, 2)} of the row.",
        "meta": {},
        "data_type": rng.choice(["varchar", "bigint", "timestamp", "numeric(18,2)", None]),
        "constraints": [],
        "quote": None,
        "tags": [],
    }


def sql_body(rng, parents):
    lines = ["{{ config(materialized='incremental', incremental_strategy='microbatch') }}", "", "with"]
    for i, parent in enumerate(parents):
        lines += [
            f"source_{i} as (",
            f"    select * from {{{{ ref('{parent.split('.')[-1]}') }}}}",
            f"    where {rng.choice(WORDS)}_at >= '{{{{ var(\"start_date\") }}}}'",
            "),",
            "",
        ]
    cols = ",\n        ".join(f"{rng.choice(WORDS)}_{rng.choice(WORDS)} as \"{rng.choice(WORDS)}_{j}\"" for j in range(8))
    lines += [
        "renamed as (",
        "    select",
        f"        {cols}",
        "    from source_0",
        "    -- joins are resolved downstream; keep this CTE narrow",
        "    left join source_1 using (id)" if len(parents) > 1 else "",
        ")",
        "",
        "select * from renamed\twhere not is_deleted",
    ]
    return "\n".join(lines)


def config(rng, materialized, meta, event_time):
    return {
        "enabled": True,
        "alias": None,
        "schema": None,
        "database": None,
        "tags": [rng.choice(WORDS)] if rng.random() < 0.5 else [],
        "meta": meta,
        "group": None,
        "materialized": materialized,
        "incremental_strategy": "microbatch" if materialized == "incremental" else None,
        "batch_size": "day" if materialized == "incremental" else None,
        "lookback": 1,
        "begin": "2020-01-01" if materialized == "incremental" else None,
        "persist_docs": {},
        "post-hook": [],
        "pre-hook": [],
        "quoting": {},
        "column_types": {},
        "full_refresh": None,
        "unique_key": ["id", "event_date"] if materialized == "incremental" else None,
        "on_schema_change": "ignore",
        "on_configuration_change": "apply",
        "grants": {},
        "packages": [],
        "docs": {"show": True, "node_color": None},
        "contract": {"enforced": False, "alias_types": True},
        "event_time": event_time,
        "concurrent_batches": None,
        "access": "protected",
        "freshness": None,
    }


def tarn_meta(rng, parent_names):
    tarn = {
        "lookback": rng.randint(0, 5),
        "lookback_unit": rng.choice(UNITS),
    }
    if rng.random() < 0.5:
        tarn["lookahead"] = rng.randint(0, 2)
        tarn["lookahead_unit"] = rng.choice(UNITS)
    if parent_names and rng.random() < 0.3:
        tarn["lookback_overrides"] = {rng.choice(parent_names): rng.randint(0, 10)}
    if parent_names and rng.random() < 0.1:
        tarn["lookahead_overrides"] = {rng.choice(parent_names): rng.randint(0, 3)}
    return tarn


def base_node(rng, resource_type, name, unique_id, path):
    return {
        "database": "analytics",
        "schema": "main",
        "name": name,
        "resource_type": resource_type,
        "package_name": PROJECT,
        "path": path,
        "original_file_path": f"models/{path}",
        "unique_id": unique_id,
        "fqn": [PROJECT] + path.rsplit(".", 1)[0].split("/"),
        "alias": name,
        "checksum": {"name": "sha256", "checksum": "%064x" % rng.getrandbits(256)},
    }


def model(rng, index, parents, parent_names):
    name = f"model_{index:06d}"
    unique_id = f"model.{PROJECT}.{name}"
    event_time = f"{rng.choice(WORDS)}_at" if rng.random() < 0.6 else None
    meta = {"owner": rng.choice(WORDS)}
    if rng.random() < 0.3:
        meta["tarn"] = tarn_meta(rng, parent_names)
    materialized = "incremental" if event_time else rng.choice(["view", "table"])
    node = base_node(rng, "model", name, unique_id, f"marts/{rng.choice(WORDS)}/{name}.sql")
    node["config"] = config(rng, materialized, meta, event_time)
    node["tags"] = node["config"]["tags"]
    node["description"] = f"One row per {words(rng, 2)}; {words(rng, 8)}."
    node["columns"] = {f"{rng.choice(WORDS)}_{j}": None for j in range(12)}
    node["columns"] = {key: column(rng, key) for key in node["columns"]}
    node["meta"] = meta
    node["group"] = None
    node["docs"] = {"show": True, "node_color": None}
    node["patch_path"] = f"{PROJECT}://models/marts/schema.yml"
    node["build_path"] = None
    node["unrendered_config"] = {"materialized": materialized}
    node["created_at"] = 1773294454.9753852 + index
    node["relation_name"] = f'"analytics"."main"."{name}"'
    node["raw_code"] = sql_body(rng, parents)
    node["doc_blocks"] = []
    node["language"] = "sql"
    node["refs"] = [{"name": p.split(".")[-1], "package": None, "version": None} for p in parents]
    node["sources"] = []
    node["metrics"] = []
    node["functions"] = []
    node["depends_on"] = {"macros": ["macro.dbt.is_incremental"], "nodes": parents}
    node["compiled_path"] = None
    node["contract"] = {"enforced": False, "alias_types": True, "checksum": None}
    node["access"] = "protected"
    node["constraints"] = []
    roll = rng.random()
    node["version"] = 2 if roll < 0.02 else 1.5 if roll < 0.03 else "beta" if roll < 0.04 else None
    node["latest_version"] = None
    node["deprecation_date"] = None
    node["primary_key"] = ["id"]
    node["time_spine"] = None
    return unique_id, name, node


def source(rng, index):
    name = f"raw_{index:05d}"
    unique_id = f"source.{PROJECT}.raw.{name}"
    node = base_node(rng, "source", name, unique_id, "staging/__sources.yml")
    node.update({
        "source_name": "raw",
        "source_description": words(rng, 10),
        "loader": "fivetran",
        "identifier": name,
        "quoting": {"database": None, "schema": None, "identifier": None, "column": None},
        "loaded_at_field": "_loaded_at",
        "freshness": {"warn_after": {"count": 12, "period": "hour"}, "error_after": {"count": None, "period": None}, "filter": None},
        "external": None,
        "description": words(rng, 12),
        "columns": {f"col_{j}": column(rng, f"col_{j}") for j in range(4)},
        "meta": {},
        "source_meta": {},
        "tags": [],
        "config": {"enabled": True, "event_time": "_loaded_at", "meta": {}, "tags": []},
        "patch_path": None,
        "unrendered_config": {},
        "relation_name": f'"raw"."{name}"',
        "created_at": 1773294454.0 + index,
    })
    return unique_id, node


def seed(rng, index):
    name = f"seed_{index:04d}"
    unique_id = f"seed.{PROJECT}.{name}"
    node = base_node(rng, "seed", name, unique_id, f"{name}.csv")
    node.update({"config": {"enabled": True, "materialized": "seed", "meta": {}, "delimiter": ","},
                 "root_path": "/srv/project", "depends_on": {"macros": []}, "raw_code": ""})
    return unique_id, node


def data_test(rng, index, parent):
    name = f"not_null_{parent.split('.')[-1]}_id_{index}"
    unique_id = f"test.{PROJECT}.{name}.{rng.getrandbits(40):010x}"
    node = base_node(rng, "test", name, unique_id, f"{name}.sql")
    node.update({
        "config": {"enabled": True, "materialized": "test", "severity": "ERROR", "store_failures": None,
                   "where": None, "limit": None, "fail_calc": "count(*)", "warn_if": "!= 0", "error_if": "!= 0",
                   "meta": {}},
        "raw_code": "{{ test_not_null(**_dbt_generic_test_kwargs) }}",
        "test_metadata": {"name": "not_null", "kwargs": {"column_name": "id", "model": "{{ get_where_subquery(ref('x')) }}"}, "namespace": None},
        "depends_on": {"macros": ["macro.dbt.test_not_null"], "nodes": [parent]},
        "column_name": "id",
        "attached_node": parent,
    })
    return unique_id, node


def manifest(models, seed_value):
    rng = random.Random(seed_value)
    nodes, sources, parent_map = {}, {}, {}
    source_ids = []
    for i in range(max(1, models // 20)):
        unique_id, node = source(rng, i)
        sources[unique_id] = node
        source_ids.append(unique_id)
        parent_map[unique_id] = []
    model_ids = []
    for i in range(models):
        if i < 10 or rng.random() < 0.05:
            parents = [rng.choice(source_ids)]
        else:
            lo = max(0, len(model_ids) - 2000)
            parents = sorted(set(rng.choice(model_ids[lo:]) for _ in range(3)))
        parent_names = [p.split(".")[-1] for p in parents if p.startswith("model.")]
        unique_id, _, node = model(rng, i, parents, parent_names)
        nodes[unique_id] = node
        model_ids.append(unique_id)
        parent_map[unique_id] = parents
    for i in range(max(1, models // 50)):
        unique_id, node = seed(rng, i)
        nodes[unique_id] = node
    for i in range(models // 4):
        unique_id, node = data_test(rng, i, rng.choice(model_ids))
        nodes[unique_id] = node
        parent_map[unique_id] = node["depends_on"]["nodes"]
    child_map = {key: [] for key in parent_map}
    for child, parents in parent_map.items():
        for parent in parents:
            child_map.setdefault(parent, []).append(child)
    macros = {
        f"macro.{PROJECT}.helper_{i}": {
            "name": f"helper_{i}", "resource_type": "macro", "package_name": PROJECT,
            "macro_sql": "{% macro helper(x) %}\n  coalesce({{ x }}, 0)\n{% endmacro %}",
            "depends_on": {"macros": []}, "arguments": [], "created_at": 1773294454.0,
        }
        for i in range(200)
    }
    return {
        "metadata": {
            "dbt_schema_version": "https://schemas.getdbt.com/dbt/manifest/v12.json",
            "dbt_version": "1.9.0",
            "generated_at": "2026-03-12T05:47:33.531072Z",
            "invocation_id": "00000000-0000-0000-0000-000000000000",
            "env": {},
            "adapter_type": "duckdb",
        },
        "nodes": nodes,
        "sources": sources,
        "macros": macros,
        "docs": {},
        "exposures": {},
        "metrics": {},
        "groups": {},
        "selectors": {},
        "disabled": {},
        "parent_map": parent_map,
        "child_map": child_map,
        "group_map": {},
        "saved_queries": {},
        "semantic_models": {},
        "unit_tests": {},
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", default="-")
    args = parser.parse_args()
    document = manifest(args.models, args.seed)
    if args.output == "-":
        json.dump(document, sys.stdout, indent=2)
    else:
        with open(args.output, "w", encoding="utf-8") as out:
            json.dump(document, out, indent=2)


if __name__ == "__main__":
    main()
