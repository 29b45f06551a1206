#!/usr/bin/python3
"""Every field of every Kubernetes object in the given YAML files is one the
API knows: a misspelt field (`hostNetwrk`) passes a schema check that allows
unknown fields, and the API server would then drop it without a word.
Uses the object models of Debian's python3-kubernetes (run with Debian's
python3). Exits 1 naming each unknown field."""

import re
import sys

import kubernetes.client
import yaml


def unknown_fields(value, type_name, where):
    """The paths under `where` that the model `type_name` does not have."""
    listed = re.fullmatch(r"list\[(.+)\]", type_name)
    if listed:
        return [path for index, item in enumerate(value or [])
                for path in unknown_fields(item, listed.group(1), f"{where}[{index}]")]
    mapped = re.fullmatch(r"dict\(str, (.+)\)", type_name)
    if mapped:
        return [path for key, item in (value or {}).items()
                for path in unknown_fields(item, mapped.group(1), f"{where}.{key}")]
    model = getattr(kubernetes.client, type_name, None)
    if model is None or not isinstance(value, dict):
        return []  # a plain value (str, int, bool, object)
    fields = {key: name for name, key in model.attribute_map.items()}
    found = []
    for key, item in value.items():
        if key not in fields:
            found.append(f"{where}.{key}")
        else:
            found += unknown_fields(item, model.openapi_types[fields[key]], f"{where}.{key}")
    return found


def main(files):
    unknown = []
    for name in files:
        with open(name) as file:
            for document in yaml.safe_load_all(file):
                if not document:
                    continue
                version = document["apiVersion"].split("/")[-1].capitalize()
                model = version + document["kind"]
                what = f"{name}: {document['kind']}/{document['metadata']['name']}"
                if not hasattr(kubernetes.client, model):
                    unknown.append(f"{what}: no model {model}")
                    continue
                unknown += [f"{what}: unknown field {path}" for path in unknown_fields(document, model, "")]
    for line in unknown:
        print(line)
    return 1 if unknown else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
