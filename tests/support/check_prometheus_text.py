#!/usr/bin/python3
"""Reads a file in the Prometheus text format 0.0.4 with Debian's python3-prometheus-client parser
and prints its samples, one "name{label="value",...} value" line each, in file order.

Exit status 1 with the reason on stderr when the parser refuses the file, when a metric lacks its
HELP or TYPE line, when a name does not begin with quorlan_trend_, or when a counter's sample
does not end in _total; 2 when the parser is not installed."""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError as e:
    print(f"python3-prometheus-client is not installed: {e}", file=sys.stderr)
    sys.exit(2)


def main(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    helped = {line.split()[2] for line in text.splitlines() if line.startswith("# HELP ")}
    try:
        families = list(text_string_to_metric_families(text))
    except ValueError as e:
        print(f"{path}: refused by the parser: {e}", file=sys.stderr)
        return 1
    for family in families:
        if family.type == "unknown" or not family.documentation:
            print(f"{family.name}: no TYPE or no HELP line", file=sys.stderr)
            return 1
        for s in family.samples:
            if not s.name.startswith("quorlan_trend_"):
                print(f"{s.name}: not a name of quorlan-trend", file=sys.stderr)
                return 1
            if family.type == "counter" and not s.name.endswith("_total"):
                print(f"{s.name}: a counter whose name does not end in _total", file=sys.stderr)
                return 1
            if s.name not in helped:
                print(f"{s.name}: no HELP line under its own name", file=sys.stderr)
                return 1
            labels = ",".join(f'{k}="{v}"' for k, v in s.labels.items())
            value = int(s.value) if s.value == int(s.value) else s.value
            print(f"{s.name}{{{labels}}} {value}" if labels else f"{s.name} {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
