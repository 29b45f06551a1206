// Validates Kubernetes objects offline against the API's schemas, with the
// npm package kubernetes-models (found through NODE_PATH):
//   node validate.js FILE.yaml...
// Each file may hold several YAML documents. Prints one line per object and
// exits 1 if any object is invalid, of an unknown kind, or if there is none.
"use strict";
const fs = require("fs");
const YAML = require("yaml");

let objects = 0;
let invalid = 0;
for (const file of process.argv.slice(2)) {
  for (const document of YAML.parseAllDocuments(fs.readFileSync(file, "utf8"))) {
    if (document.errors.length > 0) {
      console.log(`${file}: not YAML: ${document.errors[0].message}`);
      invalid++;
      continue;
    }
    const object = document.toJS();
    if (object === null) continue;
    objects++;
    const what = `${file}: ${object.kind}/${object.metadata && object.metadata.name}`;
    // "apps/v1" lives in kubernetes-models/apps/v1, the core "v1" in kubernetes-models/v1.
    let Model;
    try {
      Model = require(`kubernetes-models/${object.apiVersion}`)[object.kind];
    } catch (error) {
      Model = undefined;
    }
    if (typeof Model !== "function") {
      console.log(`${what}: no schema for ${object.apiVersion} ${object.kind}`);
      invalid++;
      continue;
    }
    try {
      new Model(object).validate();
      console.log(`${what}: valid`);
    } catch (error) {
      console.log(`${what}: ${error.message}`);
      invalid++;
    }
  }
}
if (objects === 0) {
  console.log("no Kubernetes object found");
  process.exit(1);
}
process.exit(invalid === 0 ? 0 : 1);
