// Validates CycloneDX 1.5 JSON SBOMs against the schema (the library's
// strict validator, which also holds each licence id to SPDX's list) and
// parses every licence expression as SPDX. Prints one line a file and exits
// 1 if any fails.
//
//   KESTA_SBOM_TOOLS=DIR node validate.mjs FILE...
//
// DIR is where scripts/setup installed this folder's package.json
// (build/sbom-tools).
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';

const require = createRequire(process.env.KESTA_SBOM_TOOLS + '/package.json');
const CDX = require('@cyclonedx/cyclonedx-library');
const parseSpdx = require('spdx-expression-parse');

const validator = new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot5);
let failed = 0;
for (const path of process.argv.slice(2)) {
  const text = readFileSync(path, 'utf8');
  const problems = [];
  try {
    const error = await validator.validate(text);
    // Where each error is and what it says, without the schema's lists.
    if (error !== null) {
      const where = (Array.isArray(error) ? error : [error]).map(
        (e) => `${e.instancePath ?? ''} ${e.message ?? JSON.stringify(e)}`);
      problems.push('schema: ' + where.join(', '));
    }
  } catch (e) {
    problems.push('schema: ' + e.message);
  }
  const bom = JSON.parse(text);
  const parts = [bom.metadata?.component, ...(bom.components ?? [])].filter(Boolean);
  for (const part of parts) {
    if (!part.licenses || part.licenses.length === 0) problems.push(`${part.name}: no licence`);
    for (const choice of part.licenses ?? []) {
      if (choice.expression === undefined) continue;
      try {
        parseSpdx(choice.expression);
      } catch (e) {
        problems.push(`${part.name}: licence "${choice.expression}" is no SPDX expression`);
      }
    }
  }
  if (problems.length) {
    failed++;
    console.log(`sbom: ${path}: ${problems.join('; ')}`);
  } else {
    console.log(`sbom: ${path}: valid CycloneDX ${bom.specVersion}, ${parts.length - 1} parts beside ${parts[0]?.name}`);
  }
}
process.exit(failed ? 1 : 0);
