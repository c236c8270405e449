#!/usr/bin/env python3
"""Renders the value templates of Home Assistant discovery configs with a real Jinja2 engine,
the way its MQTT entities do: `value` is the payload, `value_json` the payload read as JSON.

Input (a file named on the command line): {"configs": [config, ...],
"states": {topic: [payload, ...]}}. Output: one line per config with a value_template and
per payload on its state_topic, "unique_id<TAB>rendered", in input order."""
import json
import sys

from jinja2.sandbox import ImmutableSandboxedEnvironment


def main():
    with open(sys.argv[1], encoding="utf-8") as source:
        cases = json.load(source)
    env = ImmutableSandboxedEnvironment()
    for config in cases["configs"]:
        template = config.get("value_template")
        if template is None:
            continue
        compiled = env.from_string(template)
        for payload in cases["states"].get(config["state_topic"], []):
            try:
                value_json = json.loads(payload)
            except ValueError:
                value_json = None
            print(config["unique_id"] + "\t" + compiled.render(value=payload, value_json=value_json))


if __name__ == "__main__":
    main()
