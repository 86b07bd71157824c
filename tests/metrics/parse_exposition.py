#!/usr/bin/env python3
"""Reads a scrape with the Prometheus client's own text parser and prints what it understood, one line each:
   family:NAME:TYPE 1             for every metric family
   NAME{k=v,k=v} VALUE            for every sample, labels sorted by name
Exit status 3 when the parser is not installed, 1 when the text does not parse."""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError as error:
    print(f"prometheus_client is not installed: {error}", file=sys.stderr)
    sys.exit(3)

with open(sys.argv[1], encoding="utf-8") as source:
    text = source.read()
try:
    for family in text_string_to_metric_families(text):
        print(f"family:{family.name}:{family.type} 1")
        for sample in family.samples:
            labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
            print(f"{sample.name}{{{labels}}} {sample.value!r}")
except Exception as error:  # the parser raises ValueError and others on malformed input
    print(f"unparsable exposition: {error}", file=sys.stderr)
    sys.exit(1)
