// Checks a package's bill of materials (cmake/sbom.py):
//   node sbom_check.mjs BOM.cdx.json LIBRARY...
// - it is valid CycloneDX 1.6 JSON by the format's published schema, through the CycloneDX
//   library's own validator (npm @cyclonedx/cyclonedx-library, installed by
//   scripts/install-deps in $ZV_CYCLONEDX_DIR, default /usr/local/lib/zv-cyclonedx);
// - every third-party component names its supplier, and every one but the operating
//   system's DLLs its version and licence;
// - each LIBRARY (what readelf -d or the PE import table of a shipped binary names) is a
//   file that some component says the binaries take in.
// Prints the components, one a line.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';

const [bomFile, ...libraries] = process.argv.slice(2);
const fail = (message) => {
  console.error(`FAILED: ${bomFile}: ${message}`);
  process.exit(1);
};

const home = process.env.ZV_CYCLONEDX_DIR || '/usr/local/lib/zv-cyclonedx';
let CycloneDX;
try {
  CycloneDX = createRequire(`${home}/`)('@cyclonedx/cyclonedx-library');
} catch (error) {
  fail(`the CycloneDX library is not in ${home} (scripts/install-deps installs it): ${error.message}`);
}

const text = readFileSync(bomFile, 'utf8');
const bom = JSON.parse(text);
if (bom.bomFormat !== 'CycloneDX' || bom.specVersion !== '1.6') fail(`not CycloneDX 1.6: ${bom.specVersion}`);
const validator = new CycloneDX.Validation.JsonStrictValidator('1.6');
const errors = await validator.validate(text);
if (errors !== null) fail(`not valid by the CycloneDX 1.6 schema: ${JSON.stringify(errors, null, 1)}`);

const components = bom.components || [];
if (components.length === 0) fail('lists no component');
for (const component of components) {
  const name = `${component.name} ${component.version || ''}`;
  if (!component.supplier?.name) fail(`${name} names no supplier`);
  if (component.supplier.name === 'Microsoft Corporation') continue;
  if (!component.version) fail(`${name} has no version`);
  if (!component.licenses?.length) fail(`${name} has no licence`);
  if (!component.purl?.startsWith('pkg:deb/debian/')) fail(`${name} has no Debian package URL`);
}

const linked = new Set();
for (const component of components) {
  for (const property of component.properties || []) {
    if (property.name === 'zvpa:linked-as') linked.add(property.value.toLowerCase());
  }
}
const unlisted = libraries.filter((library) => !linked.has(library.toLowerCase()));
if (unlisted.length) fail(`does not list ${unlisted.join(', ')}`);

const licence = (component) =>
  (component.licenses || []).map((l) => l.expression || l.license?.id || l.license?.name).join(' ');
for (const component of components) {
  console.log(`  ${component.name} ${component.version || '-'} | ${component.supplier.name} | ${licence(component) || '-'}`);
}
console.log(`ok ${bomFile}: valid CycloneDX 1.6, ${components.length} components, ${libraries.length} libraries listed`);
