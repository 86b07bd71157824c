#!/usr/bin/env python3
"""Reads the Grafana dashboard (JSON) and the Prometheus rules file (YAML) that ship with Ostrevo and prints
every query in them, one line each:
   dashboard<TAB>PANEL TYPE<TAB>REPEAT<TAB>EXPRESSION  panel targets; REPEAT names the variable the panel, or the
                                                     row it stands in, repeats over (empty: shown once)
   variable<TAB>NAME<TAB>MULTI<TAB>ALL<TAB>QUERY       template variables (MULTI, ALL: 1 or 0; QUERY may be empty)
   rule<TAB>NAME<TAB>EXPRESSION                        alert and recording rules
Line feeds inside an expression become spaces. Problems of form go to standard error.
Exit status 3 when PyYAML is not installed, 1 when a file does not load or is malformed."""
import json
import re
import sys

try:
    import yaml
except ImportError as error:
    print(f"PyYAML is not installed: {error}", file=sys.stderr)
    sys.exit(3)

problems = []


def one_line(text):
    return " ".join(str(text).split())


def panels_of(container, repeat=""):
    """Each panel with the variable it repeats over: its own, else that of the row it stands under (an open row
    holds the panels after it up to the next row; a collapsed one holds its own)."""
    for panel in container.get("panels", []):
        if panel.get("type") == "row":
            repeat = panel.get("repeat", "")
            yield panel, repeat
            yield from panels_of(panel, repeat)
            continue
        yield panel, panel.get("repeat") or repeat


try:
    with open(sys.argv[1], encoding="utf-8") as source:
        dashboard = json.load(source)
    with open(sys.argv[2], encoding="utf-8") as source:
        rules = yaml.safe_load(source)
except (OSError, ValueError, yaml.YAMLError) as error:
    print(f"cannot load: {error}", file=sys.stderr)
    sys.exit(1)

ids = set()
for panel, repeat in panels_of(dashboard):
    if panel.get("type") == "row":
        continue
    title = panel.get("title", "?")
    if panel.get("id") in ids:
        problems.append(f"panel {title}: id {panel.get('id')} used twice")
    ids.add(panel.get("id"))
    if not all(key in panel.get("gridPos", {}) for key in ("x", "y", "w", "h")):
        problems.append(f"panel {title}: no complete gridPos")
    if not panel.get("targets"):
        problems.append(f"panel {title}: no query")
    for target in panel.get("targets", []):
        if not target.get("expr"):
            problems.append(f"panel {title}: a target without expr")
            continue
        print(f"dashboard\t{panel.get('type')}\t{repeat}\t{one_line(target['expr'])}")
variables = {"__all", "__rate_interval", "__interval", "__range"}
for variable in dashboard.get("templating", {}).get("list", []):
    variables.add(variable.get("name"))
    query = variable.get("query") if variable.get("type") == "query" else ""
    query = one_line(query.get("query") if isinstance(query, dict) else query)
    flags = "\t".join("1" if variable.get(key) else "0" for key in ("multi", "includeAll"))
    print(f"variable\t{variable.get('name')}\t{flags}\t{query}")
if not dashboard.get("uid") or not dashboard.get("title"):
    problems.append("the dashboard has no uid or title")
# Every $name a query uses is a variable the dashboard defines (or one Grafana gives).
for used in set(re.findall(r"\$\{?(\w+)", json.dumps(dashboard.get("panels", [])))):
    if used not in variables:
        problems.append(f"${used} is no variable of the dashboard")

if not isinstance(rules, dict) or not isinstance(rules.get("groups"), list) or not rules["groups"]:
    problems.append("the rules file has no groups")
else:
    for group in rules["groups"]:
        for rule in group.get("rules", []):
            name = rule.get("alert") or rule.get("record")
            if not name or not rule.get("expr"):
                problems.append(f"a rule of group {group.get('name')} without a name or expr")
                continue
            print(f"rule\t{name}\t{one_line(rule['expr'])}")

for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
